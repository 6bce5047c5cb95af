# Included by src/web/CMakeLists.txt before serwer_web is made: the fleet map page (this
# folder), Leaflet from Debian's libjs-leaflet and its marker clusters from
# libjs-leaflet.markercluster, turned at build time into a generated
# source that defines PageAssets() (web/WebAssets.hpp), named in SERWER_WEB_PAGE_SOURCES.
set(SERWER_LEAFLET_DIR /usr/share/javascript/leaflet CACHE PATH "Leaflet from Debian's libjs-leaflet")
if(NOT EXISTS ${SERWER_LEAFLET_DIR}/leaflet.js OR NOT EXISTS ${SERWER_LEAFLET_DIR}/leaflet.css)
  message(FATAL_ERROR "Leaflet is missing from ${SERWER_LEAFLET_DIR}: tools/install-packages.sh libjs-leaflet")
endif()
set(cluster_js ${SERWER_LEAFLET_DIR}/leaflet.markercluster.js)
if(NOT EXISTS ${cluster_js} OR NOT EXISTS ${SERWER_LEAFLET_DIR}/MarkerCluster.css)
  message(FATAL_ERROR "Leaflet.markercluster is missing from ${SERWER_LEAFLET_DIR}: tools/install-packages.sh libjs-leaflet.markercluster")
endif()
if(EXISTS ${SERWER_LEAFLET_DIR}/leaflet.markercluster.min.js)
  set(cluster_js ${SERWER_LEAFLET_DIR}/leaflet.markercluster.min.js)
endif()
set(leaflet_js ${SERWER_LEAFLET_DIR}/leaflet.js)
if(EXISTS ${SERWER_LEAFLET_DIR}/leaflet.min.js)
  set(leaflet_js ${SERWER_LEAFLET_DIR}/leaflet.min.js)
endif()

set(page_dir ${CMAKE_CURRENT_LIST_DIR})
set(page_assets
  "/index.html|text/html|${page_dir}/index.html"
  "/static/app.js|text/javascript|${page_dir}/app.js"
  "/static/raporty.js|text/javascript|${page_dir}/raporty.js"
  "/udostepnione.html|text/html|${page_dir}/udostepnione.html"
  "/static/udostepnione.js|text/javascript|${page_dir}/udostepnione.js"
  "/static/style.css|text/css|${page_dir}/style.css"
  "/static/leaflet/leaflet.js|text/javascript|${leaflet_js}"
  "/static/leaflet/leaflet.css|text/css|${SERWER_LEAFLET_DIR}/leaflet.css"
  "/static/leaflet/leaflet.markercluster.js|text/javascript|${cluster_js}"
  "/static/leaflet/MarkerCluster.css|text/css|${SERWER_LEAFLET_DIR}/MarkerCluster.css"
  "/static/leaflet/MarkerCluster.Default.css|text/css|${SERWER_LEAFLET_DIR}/MarkerCluster.Default.css")
foreach(image layers.png layers-2x.png marker-icon.png marker-icon-2x.png marker-shadow.png)
  if(EXISTS ${SERWER_LEAFLET_DIR}/images/${image})
    list(APPEND page_assets "/static/leaflet/images/${image}|image/png|${SERWER_LEAFLET_DIR}/images/${image}")
  endif()
endforeach()

set(page_manifest ${CMAKE_CURRENT_BINARY_DIR}/PageAssets.txt)
set(page_sources "")
set(page_lines "")
foreach(asset IN LISTS page_assets)
  string(APPEND page_lines "${asset}\n")
  string(REGEX REPLACE "^.*\\|" "" source "${asset}")
  list(APPEND page_sources ${source})
endforeach()
file(CONFIGURE OUTPUT ${page_manifest} CONTENT "${page_lines}" @ONLY)

add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/PageAssets.cpp
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${page_manifest} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/PageAssets.cpp
          -P ${page_dir}/EmbedFiles.cmake
  DEPENDS ${page_manifest} ${page_sources} ${page_dir}/EmbedFiles.cmake
  COMMENT "Embedding the fleet map page"
  VERBATIM)
set(SERWER_WEB_PAGE_SOURCES ${CMAKE_CURRENT_BINARY_DIR}/PageAssets.cpp)
