// The page's files when the build has none of its own: a short page that names the
// API, so the service is usable without the map page.
#include "web/WebAssets.hpp"

namespace serwer {

const std::vector<WebAsset>& PageAssets() {
    static const std::vector<WebAsset> assets{
        {"/index.html", "text/html; charset=utf-8",
         "<!DOCTYPE html>\n<html lang=\"pl\"><head><meta charset=\"utf-8\"><title>Serwer pozycjonowania</title>"
         "</head><body><h1>Serwer pozycjonowania</h1><ul>"
         "<li><a href=\"/api/pojazdy\">/api/pojazdy</a> &ndash; pojazdy i ich ostatnie pozycje</li>"
         "<li><a href=\"/api/zdrowie\">/api/zdrowie</a> &ndash; stan serwera</li>"
         "<li><a href=\"/api/mapa\">/api/mapa</a> &ndash; podkład mapy</li>"
         "<li><a href=\"/metrics\">/metrics</a> &ndash; metryki</li></ul></body></html>\n"}};
    return assets;
}

}  // namespace serwer
