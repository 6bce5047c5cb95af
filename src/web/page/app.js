// The fleet map: every vehicle at its last position, a list beside the map, and the
// chosen vehicle's details and track of one day. It talks only to this server (and to
// the tile server named by /api/mapa, when there is one).
'use strict';

(function () {
    const ODSWIEZANIE_MS = 5000;
    const GODZINA = 3600;
    const parametry = new URLSearchParams(window.location.search);
    // The whole list is asked for first, while the map is being made.
    let pierwszaLista = fetch('/api/pojazdy', { cache: 'no-store' });

    // ---- what the server sends ------------------------------------------------------

    // The vehicle list: an array, or an object holding one.
    function listaPojazdow(dane) {
        if (Array.isArray(dane)) return dane;
        return dane.pojazdy || [];
    }

    // A text as a page element: Leaflet puts a string tooltip in as HTML, an element as it is.
    function wezelTekstu(tekst) {
        const w = document.createElement('span');
        w.textContent = tekst;
        return w;
    }

    function liczba(v) {
        if (v === null || v === undefined || v === '') return null;
        const n = Number(v);
        return Number.isFinite(n) ? n : null;
    }

    // The age of a position now: its age in the answer it came in, plus the time the
    // server's clock has gone on since (the latest answer's "czas"), so that only rows
    // that changed need to travel.
    function wiekTeraz(p) {
        const wiek = liczba(p.wiek_s);
        if (wiek === null) return null;
        return wiek + Math.max(0, Math.floor((stan.czasSerwera - p.odebrano) / 1000));
    }

    // Freshness by the operator window's rules: at most 3 hours, older, older than 24
    // hours or no position time.
    function swiezosc(p) {
        const wiek = wiekTeraz(p);
        if (wiek === null || wiek > 24 * GODZINA) return 'bardzo-stara';
        if (wiek > 3 * GODZINA) return 'stara';
        return 'swieza';
    }

    function bezGps(p) {
        return typeof p.gps_ok === 'boolean' ? !p.gps_ok : p.gps !== 'OK';
    }

    function jedzie(p) {
        if (typeof p.w_ruchu === 'boolean') return p.w_ruchu;
        const v = liczba(p.predkosc);
        return v !== null && v >= 5;
    }

    function wspolrzedne(p) {
        const szer = liczba(p.szerokosc);
        const dlug = liczba(p.dlugosc);
        return szer === null || dlug === null ? null : [szer, dlug];
    }

    // ---- Polish texts -----------------------------------------------------------------

    // The plural form for a count: 1 pojazd, 2 pojazdy, 5 pojazdów (12-14 take the last).
    function odmiana(n, jeden, kilka, wiele) {
        if (n === 1) return jeden;
        const j = n % 10;
        const d = n % 100;
        return j >= 2 && j <= 4 && (d < 12 || d > 14) ? kilka : wiele;
    }

    // "5 min", "3 godz.", "1 dzień", "2 dni": the window's age of a position.
    function tekstWieku(sekundy) {
        if (sekundy === null) return 'brak czasu';
        const minuty = Math.floor(Math.max(sekundy, 0) / 60);
        if (minuty < 60) return minuty + ' min';
        if (minuty < 24 * 60) return Math.floor(minuty / 60) + ' godz.';
        const dni = Math.floor(minuty / (24 * 60));
        return dni + (dni === 1 ? ' dzień' : ' dni');
    }

    // An ISO 8601 time with its offset, as the server's Polish time, to "09-12-2026 14:30:00".
    function tekstCzasu(iso) {
        if (!iso) return '';
        const m = /^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2}))?/.exec(iso);
        if (!m) return String(iso);
        return m[3] + '-' + m[2] + '-' + m[1] + ' ' + m[4] + ':' + m[5] + ':' + (m[6] || '00');
    }

    function godzinaZCzasu(iso) {
        const m = /T(\d{2}):(\d{2})/.exec(iso || '');
        return m ? m[1] + ':' + m[2] : '';
    }

    function tekstLiczby(n, miejsca) {
        return n.toLocaleString('pl-PL', { minimumFractionDigits: miejsca, maximumFractionDigits: miejsca });
    }

    function tekstPredkosci(p) {
        const v = liczba(p.predkosc);
        return v === null ? '' : tekstLiczby(v, v % 1 === 0 ? 0 : 1) + ' km/h';
    }

    function takNie(v, tak, nie) {
        if (v === null || v === undefined) return '';
        return v ? tak : nie;
    }

    function tekstWejsc(p) {
        return [p.we1, p.we2, p.we3].map((w, i) => i + 1 + ': ' + takNie(w, 'wł.', 'wył.')).join(', ');
    }

    // Today's date in Poland, YYYY-MM-DD, whatever the browser's zone.
    function dzisiaj() {
        try {
            return new Intl.DateTimeFormat('sv-SE', { timeZone: 'Europe/Warsaw' }).format(new Date());
        } catch (e) {
            const d = new Date();
            return d.getFullYear() + '-' + String(d.getMonth() + 1).padStart(2, '0') + '-' +
                String(d.getDate()).padStart(2, '0');
        }
    }

    // The time now in Poland, "14:30:05", as the server's times are.
    function teraz() {
        const format = { hour: '2-digit', minute: '2-digit', second: '2-digit' };
        try {
            return new Date().toLocaleTimeString('pl-PL', Object.assign({ timeZone: 'Europe/Warsaw' }, format));
        } catch (e) {
            return new Date().toLocaleTimeString('pl-PL', format);
        }
    }

    // Great-circle distance in km.
    function odleglosc(a, b) {
        const r = Math.PI / 180;
        const dSzer = (b[0] - a[0]) * r;
        const dDlug = (b[1] - a[1]) * r;
        const h = Math.sin(dSzer / 2) ** 2 + Math.cos(a[0] * r) * Math.cos(b[0] * r) * Math.sin(dDlug / 2) ** 2;
        return 2 * 6371.0088 * Math.asin(Math.min(1, Math.sqrt(h)));
    }

    // The JSON of an answer; for an error, the server's own words ("blad") when it sent them.
    function odpowiedzJson(r) {
        if (r.ok) return r.json();
        // The session ended (8 hours without use, or Wyloguj elsewhere): log in again.
        if (r.status === 401) window.location.assign('/logowanie');
        return r.json().catch(() => ({})).then((b) => {
            throw new Error(b.blad || 'HTTP ' + r.status);
        });
    }

    // A failed request in words: no answer at all (the browser's TypeError), or the server's.
    function powodBledu(e) {
        return e instanceof TypeError ? 'Brak połączenia z serwerem' : 'Serwer odpowiedział: ' + e.message;
    }

    // The account logged in, with Wyloguj, when the server keeps accounts.
    fetch('/api/konto', { cache: 'no-store' })
        .then((o) => (o.ok ? o.json() : {}))
        .then((konto) => {
            if (!konto.konta) return;
            el('konto-nazwa').textContent = konto.nazwa + (konto.rola === 'administrator' ? ' (administrator)' : '');
            el('konto').hidden = false;
        })
        .catch(() => {});

    // ---- the map ------------------------------------------------------------------------

    const el = (id) => document.getElementById(id);
    const mapa = L.map('mapa', { zoomControl: true, worldCopyJump: true, maxZoom: 19 }).setView([52.0, 19.4], 6);
    mapa.attributionControl.setPrefix('');
    L.control.scale({ imperial: false }).addTo(mapa);

    fetch('/api/mapa')
        .then((r) => (r.ok ? r.json() : null))
        .then((m) => {
            if (m && m.url) L.tileLayer(m.url, { attribution: m.atrybucja || '', maxZoom: 19 }).addTo(mapa);
        })
        .catch(() => {});

    // The zones of strefy.geojson: polygons as drawn, points as circles of their radius.
    const strefy = L.layerGroup().addTo(mapa);
    function wczytajStrefy() {
        fetch('/api/strefy')
            .then((r) => (r.ok ? r.json() : null))
            .then((geo) => {
                if (!geo) return;
                const styl = { className: 'strefa', color: '#2e7d32', weight: 2, fillOpacity: 0.08, interactive: true };
                const warstwa = L.geoJSON(geo, {
                    style: () => styl,
                    pointToLayer: (f, ll) => L.circle(ll, Object.assign({ radius: liczba(f.properties && f.properties.promien) || 0 }, styl)),
                    onEachFeature: (f, w) => {
                        const wl = f.properties || {};
                        w.bindTooltip(wezelTekstu(String(wl.nazwa || '') + (wl.predkosc ? ' (' + wl.predkosc + ' km/h)' : '')));
                    },
                });
                strefy.clearLayers();
                strefy.addLayer(warstwa);
            })
            .catch(() => {});
    }
    wczytajStrefy();
    setInterval(wczytajStrefy, 60000);

    const KOLORY = { swieza: '#1f5fbf', stara: '#808080', 'bardzo-stara': '#8b0000' };
    const POMARANCZ = '#ff9f40';
    const ZAPAS_WIERSZY = 10;         // list rows drawn above and below those in view
    const porownajNazwy = new Intl.Collator('pl').compare;

    // The vehicles' dots are drawn on one canvas. From PROG_SKUPISK vehicles on, those
    // near each other are grouped below the zoom of a city into clusters that tell how
    // many they hold; the chosen vehicle stays out of its cluster, always in sight.
    // Tracks, zones and events stay elements of their own.
    const PROG_SKUPISK = 500;
    let poZaladowaniu = null;  // called once the clusters hold every dot given them
    const plotno = L.canvas({ padding: 0.3 });
    const skupiska = L.markerClusterGroup({
        chunkedLoading: true, chunkInterval: 30, chunkDelay: 5, animate: false,
        disableClusteringAtZoom: 12, maxClusterRadius: 50, showCoverageOnHover: false, spiderfyOnMaxZoom: false,
        chunkProgress: (gotowe, wszystkie) => {
            if (gotowe < wszystkie || !poZaladowaniu) return;
            poZaladowaniu();
            poZaladowaniu = null;
        },
    }).addTo(mapa);
    const pojedyncze = L.featureGroup().addTo(mapa);
    let grupa = pojedyncze;  // where the dots not chosen are

    function dodajDoGrupy(znaczniki) {
        if (grupa === skupiska) skupiska.addLayers(znaczniki);
        else znaczniki.forEach((z) => pojedyncze.addLayer(z));
    }

    // Clusters for a large fleet, single dots for a small one.
    function wybierzGrupe() {
        const nowa = stan.pojazdy.size >= PROG_SKUPISK ? skupiska : pojedyncze;
        if (nowa === grupa) return;
        const przenoszone = [];
        stan.znaczniki.forEach((z) => {
            if (z.miejsce === 'grupa') przenoszone.push(z);
        });
        grupa.clearLayers();
        grupa = nowa;
        dodajDoGrupy(przenoszone);
    }

    const stan = {
        pojazdy: new Map(),    // name -> the vehicle's row as last received
        znaczniki: new Map(),  // name -> circle marker
        wiersze: new Map(),    // name -> list row, only those drawn
        posortowane: [],       // every name, in Polish alphabetical order
        kolejnosc: [],         // the names the search lets through, in that order
        szukane: '',
        wysokoscWiersza: 0,    // measured from the first row drawn
        wersja: null,          // the list's version the page holds
        czasSerwera: Date.now(),  // the server's time of the latest answer (ms)
        wybrany: null,
        trasa: null,           // layer group of the shown track
        zadanieTrasy: 0,
        pierwszeDane: true,
        trwa: false,
        zdarzenia: [],           // today's events, as /api/zdarzenia gives them
        tekstZdarzen: null,      // the answer they came in
        noweZdarzenia: false,    // some are marked new
        znaneZdarzenia: null,    // ids seen at the last refresh (none before the first)
        zdarzeniaTrwa: false,
        zdarzeniaDnia: null,     // the chosen vehicle's events of its track's day
    };

    function klasyPojazdu(p) {
        const k = [swiezosc(p), jedzie(p) ? 'jedzie' : 'stoi'];
        if (bezGps(p)) k.push('brak-gps');
        return k;
    }

    function pasuje(p, szukane) {
        if (!szukane) return true;
        return [p.nazwa, p.kierowca, p.licencja].some((t) => t && String(t).toLocaleLowerCase('pl').includes(szukane));
    }

    function widoczny(p) {
        return pasuje(p, stan.szukane);
    }

    function stylZnacznika(p, wybrany) {
        const ruch = jedzie(p);
        return {
            renderer: plotno,
            radius: wybrany ? 11 : 7,
            color: bezGps(p) ? POMARANCZ : wybrany ? '#000000' : KOLORY[swiezosc(p)],
            weight: bezGps(p) || wybrany ? 3 : 2,
            fillColor: KOLORY[swiezosc(p)],
            fillOpacity: ruch ? 0.9 : 0.25,
        };
    }

    function podpisz(z, staly) {
        z.bindTooltip((w) => wezelTekstu(w.nazwa), { direction: 'top', offset: [0, -6], permanent: staly });
    }

    // One click and one hover handler for all the dots of a group: a dot's registration
    // is made the first time the pointer is over it.
    function obslugujZnaczniki(warstwa) {
        warstwa.on('click', (e) => {
            if (e.layer && e.layer.nazwa !== undefined) wybierz(e.layer.nazwa, false);
        });
        warstwa.on('mouseover', (e) => {
            const z = e.layer;
            if (!z || z.nazwa === undefined || z.getTooltip()) return;
            podpisz(z, false);
            z.openTooltip(e.latlng);
        });
    }
    obslugujZnaczniki(skupiska);
    obslugujZnaczniki(pojedyncze);

    function zdejmijZnacznik(z) {
        if (z.miejsce === 'grupa') grupa.removeLayer(z);
        else if (z.miejsce === 'mapa') z.remove();
        z.miejsce = null;
    }

    // A vehicle's dot: made, moved and restyled only when what it shows changed. Dots
    // for the group are gathered in `doGrupy` and added together.
    function ustawZnacznik(p, doGrupy) {
        const ll = wspolrzedne(p);
        let z = stan.znaczniki.get(p.nazwa);
        if (!ll) {
            if (z) {
                zdejmijZnacznik(z);
                stan.znaczniki.delete(p.nazwa);
            }
            return;
        }
        const wybrany = stan.wybrany === p.nazwa;
        const styl = stylZnacznika(p, wybrany);
        const klucz = [styl.radius, styl.color, styl.weight, styl.fillColor, styl.fillOpacity].join();
        const swiezoscTeraz = swiezosc(p);
        if (!z) {
            z = L.circleMarker(ll, styl);
            z.nazwa = p.nazwa;
            z.klucz = klucz;
            z.swiezosc = swiezoscTeraz;
            z.miejsce = null;
            z.podpisStaly = false;
            stan.znaczniki.set(p.nazwa, z);
        } else {
            if (!z.getLatLng().equals(ll)) z.setLatLng(ll);
            if (z.klucz !== klucz) {
                z.setStyle(styl);
                z.klucz = klucz;
            }
            z.swiezosc = swiezoscTeraz;
        }
        // The registration always over the chosen vehicle's dot (over the others' on hover).
        if (z.podpisStaly !== wybrany) {
            z.unbindTooltip();
            if (wybrany) podpisz(z, true);
            z.podpisStaly = wybrany;
        }
        const miejsce = !widoczny(p) ? null : wybrany ? 'mapa' : 'grupa';
        if (z.miejsce !== miejsce) {
            zdejmijZnacznik(z);
            if (miejsce === 'mapa') z.addTo(mapa).bringToFront();
            else if (miejsce === 'grupa') {
                if (doGrupy) doGrupy.push(z);
                else grupa.addLayer(z);
            }
            z.miejsce = miejsce;
        }
    }

    // ---- the list -----------------------------------------------------------------------

    // Only the rows in view (and a few around) are elements; an empty item above and
    // one below stand for the others, so the list scrolls as if it held them all.
    function odstep() {
        const li = document.createElement('li');
        li.className = 'odstep';
        li.setAttribute('aria-hidden', 'true');
        return li;
    }
    const odstepGorny = odstep(), odstepDolny = odstep();

    function span(klasa, tekst) {
        const s = document.createElement('span');
        s.className = klasa;
        s.textContent = tekst;
        return s;
    }

    function nowyWiersz(nazwa) {
        const li = document.createElement('li');
        li.tabIndex = 0;
        li.dataset.nazwa = nazwa;
        li.addEventListener('click', () => wybierz(nazwa, true));
        li.addEventListener('keydown', (e) => {
            if (e.key === 'Enter' || e.key === ' ') {
                e.preventDefault();
                wybierz(nazwa, true);
            }
        });
        li.podpis = '';
        return li;
    }

    function ustawWiersz(li, p) {
        const klasy = ['pojazd'].concat(klasyPojazdu(p));
        if (stan.wybrany === p.nazwa) klasy.push('wybrany');
        const ruch = jedzie(p) ? 'jedzie ' + tekstPredkosci(p) : 'postój';
        const teksty = [p.nazwa, tekstWieku(wiekTeraz(p)), bezGps(p) ? 'brak GPS' : ruch, p.kierowca || '',
            'odczyt pamięci: ' + (p.odczyt ? tekstCzasu(p.odczyt) : 'nigdy')];
        const tytul = wspolrzedne(p) ? '' : 'Brak współrzędnych: pojazdu nie ma na mapie';
        const podpis = klasy.join(' ') + '\n' + teksty.join('\n') + '\n' + tytul;
        if (li.podpis === podpis) return;
        li.podpis = podpis;
        li.className = klasy.join(' ');
        li.replaceChildren(span('ikona', ''), span('nazwa', teksty[0]), span('wiek', teksty[1]), span('ruch', teksty[2]),
            span('kierowca', teksty[3]), span('odczyt', teksty[4]));
        li.title = tytul;
    }

    // The names in order: sorted again only when names came or went, filtered again when
    // the search or a row it looks at changed.
    function uporzadkujListe(noweNazwy) {
        if (noweNazwy) stan.posortowane = Array.from(stan.pojazdy.keys()).sort(porownajNazwy);
        stan.kolejnosc = stan.szukane
            ? stan.posortowane.filter((n) => widoczny(stan.pojazdy.get(n)))
            : stan.posortowane;
        const wszystkich = stan.posortowane.length, widocznych = stan.kolejnosc.length;
        el('licznik').textContent = widocznych === wszystkich ? String(wszystkich) : widocznych + ' z ' + wszystkich;
    }

    function rysujListe() {
        const lista = el('lista');
        const n = stan.kolejnosc.length;
        const h = stan.wysokoscWiersza || 58;
        const gora = lista.scrollTop, wysokosc = lista.clientHeight || window.innerHeight;
        const od = Math.min(n, Math.max(0, Math.floor(gora / h) - ZAPAS_WIERSZY));
        const doKonca = Math.min(n, Math.ceil((gora + wysokosc) / h) + ZAPAS_WIERSZY);
        const wiersze = new Map();
        const dzieci = [];
        for (let i = od; i < doKonca; ++i) {
            const nazwa = stan.kolejnosc[i];
            const li = stan.wiersze.get(nazwa) || nowyWiersz(nazwa);
            ustawWiersz(li, stan.pojazdy.get(nazwa));
            wiersze.set(nazwa, li);
            dzieci.push(li);
        }
        odstepGorny.style.height = od * h + 'px';
        odstepDolny.style.height = (n - doKonca) * h + 'px';
        dzieci.unshift(odstepGorny);
        dzieci.push(odstepDolny);
        const obecne = lista.children;
        if (obecne.length !== dzieci.length || dzieci.some((li, i) => obecne[i] !== li)) lista.replaceChildren(...dzieci);
        stan.wiersze = wiersze;
        if (!stan.wysokoscWiersza && dzieci.length > 2) {
            const zmierzona = dzieci[1].getBoundingClientRect().height;
            if (zmierzona > 0) {
                stan.wysokoscWiersza = zmierzona;
                if (Math.abs(zmierzona - h) > 0.5) rysujListe();
            }
        }
    }

    // The chosen vehicle's row into view, when it is not.
    function przewinDo(nazwa) {
        const i = stan.kolejnosc.indexOf(nazwa);
        if (i < 0) return;
        const lista = el('lista');
        const h = stan.wysokoscWiersza || 58;
        if (i * h < lista.scrollTop || (i + 1) * h > lista.scrollTop + lista.clientHeight)
            lista.scrollTop = Math.max(0, i * h - (lista.clientHeight - h) / 2);
        rysujListe();
    }

    let rysowanieZamowione = false;
    function rysujPozniej() {
        if (rysowanieZamowione) return;
        rysowanieZamowione = true;
        requestAnimationFrame(() => {
            rysowanieZamowione = false;
            rysujListe();
        });
    }
    el('lista').addEventListener('scroll', rysujPozniej, { passive: true });
    window.addEventListener('resize', () => {
        stan.wysokoscWiersza = 0;
        rysujPozniej();
    });

    // ---- details and track --------------------------------------------------------------

    function pokazSzczegoly() {
        const p = stan.pojazdy.get(stan.wybrany);
        const sekcja = el('szczegoly');
        if (!p) {
            sekcja.hidden = true;
            return;
        }
        sekcja.hidden = false;
        sekcja.className = klasyPojazdu(p).join(' ');
        el('szczegoly-nazwa').textContent = p.nazwa;
        const ll = wspolrzedne(p);
        const pola = [
            ['Czas pozycji', p.czas ? tekstCzasu(p.czas) : 'brak'],
            ['Wiek pozycji', tekstWieku(wiekTeraz(p))],
            ['Szerokość', ll ? tekstLiczby(ll[0], 6) : 'brak'],
            ['Długość', ll ? tekstLiczby(ll[1], 6) : 'brak'],
            ['Prędkość', tekstPredkosci(p) + (jedzie(p) ? ' (jedzie)' : ' (postój)')],
            ['GPS', p.gps || ''],
            ['Silnik', p.silnik || ''],
            ['Paliwo', p.paliwo || ''],
            ['Kierowca', p.kierowca || 'brak'],
            ['Przebieg', liczba(p.przebieg) === null ? '' : tekstLiczby(liczba(p.przebieg), 0) + ' km'],
            ['Wejścia', tekstWejsc(p)],
            ['Odczyt pamięci', p.odczyt ? tekstCzasu(p.odczyt) : 'nigdy'],
            ['Liczba odczytów', liczba(p.liczba_odczytow) === null ? '' : String(p.liczba_odczytow)],
            ['Licencja', p.licencja || ''],
        ];
        el('szczegoly-pola').replaceChildren(...pola.flatMap(([nazwa, wartosc]) => {
            const dt = document.createElement('dt');
            dt.textContent = nazwa;
            const dd = document.createElement('dd');
            dd.textContent = wartosc;
            return [dt, dd];
        }));
    }

    function usunTrase() {
        if (stan.trasa) stan.trasa.remove();
        stan.trasa = null;
    }

    // The positions of one day as GeoJSON; the track as a line through those with
    // coordinates, in the order of their fix times.
    function wczytajTrase(dopasuj) {
        const nazwa = stan.wybrany;
        const dzien = el('dzien').value || dzisiaj();
        const zadanie = ++stan.zadanieTrasy;
        const opis = el('trasa-opis');
        if (dopasuj) opis.textContent = 'Wczytywanie trasy…';
        const adres = '/api/pojazdy/' + encodeURIComponent(nazwa) + '/historia?od=' + dzien + '&do=' + dzien +
            '&format=geojson';
        // The day's events of the vehicle go on its track and into its details; without
        // them the track still shows.
        const zdarzeniaDnia = fetch('/api/zdarzenia?pojazd=' + encodeURIComponent(nazwa) + '&od=' + dzien + '&do=' + dzien)
            .then((r) => (r.ok ? r.json() : { zdarzenia: [] }))
            .then((d) => (Array.isArray(d.zdarzenia) ? d.zdarzenia : []))
            .catch(() => []);
        Promise.all([fetch(adres).then(odpowiedzJson), zdarzeniaDnia])
            .then(([geo, zdarzenia]) => {
                if (zadanie !== stan.zadanieTrasy) return;
                const punkty = (geo.features || [])
                    .filter((f) => f.geometry && f.geometry.type === 'Point')
                    .map((f) => ({ ll: [f.geometry.coordinates[1], f.geometry.coordinates[0]], w: f.properties || {} }))
                    .sort((a, b) => String(a.w.czas).localeCompare(String(b.w.czas)));
                stan.zdarzeniaDnia = zdarzenia;
                pokazTrase(punkty, dzien, (geo.features || []).length, dopasuj);
                pokazZdarzeniaPojazdu();
            })
            .catch((e) => {
                if (zadanie !== stan.zadanieTrasy) return;
                usunTrase();
                opis.dataset.punkty = '0';
                opis.className = 'blad';
                opis.textContent = 'Nie udało się wczytać trasy. ' + powodBledu(e) + '.';
            });
    }

    function pokazTrase(punkty, dzien, wszystkich, dopasuj) {
        usunTrase();
        const opis = el('trasa-opis');
        opis.className = '';
        opis.dataset.punkty = String(punkty.length);
        if (wszystkich === 0) {
            opis.textContent = 'Brak zapisanych pozycji z dnia ' + dzien.split('-').reverse().join('-') + '.';
            return;
        }
        const warstwy = [L.polyline(punkty.map((p) => p.ll), { className: 'trasa', color: '#d0342c', weight: 4, opacity: 0.85 })];
        punkty.forEach((p, i) => {
            const ostatni = i === punkty.length - 1;
            const m = L.circleMarker(p.ll, {
                className: 'punkt-trasy', radius: ostatni || i === 0 ? 5 : 3, color: '#d0342c', weight: 1,
                fillColor: '#ffffff', fillOpacity: 1, interactive: true,
            });
            m.bindTooltip(wezelTekstu(godzinaZCzasu(p.w.czas) + (p.w.predkosc !== undefined ? ', ' + tekstLiczby(Number(p.w.predkosc), 0) + ' km/h' : '')));
            warstwy.push(m);
        });
        (stan.zdarzeniaDnia || []).forEach((z) => {
            const szer = liczba(z.szerokosc), dlug = liczba(z.dlugosc);
            if (szer === null || dlug === null) return;
            const m = L.circleMarker([szer, dlug], {
                className: 'zdarzenie-trasy', radius: 6, color: '#7b1fa2', weight: 2, fillColor: '#e1bee7', fillOpacity: 1,
            });
            m.bindTooltip(wezelTekstu(godzinaZCzasu(z.od) + ' ' + String(z.opis || z.typ)));
            warstwy.push(m);
        });
        stan.trasa = L.layerGroup(warstwy).addTo(mapa);
        let km = 0;
        const zGps = punkty.filter((p) => p.w.gps === undefined || p.w.gps === 'OK');
        for (let i = 1; i < zGps.length; ++i) km += odleglosc(zGps[i - 1].ll, zGps[i].ll);
        let tekst = wszystkich + ' ' + odmiana(wszystkich, 'pozycja', 'pozycje', 'pozycji') + ', ' + tekstLiczby(km, 1) + ' km';
        if (punkty.length > 0)
            tekst += ', od ' + godzinaZCzasu(punkty[0].w.czas) + ' do ' + godzinaZCzasu(punkty[punkty.length - 1].w.czas);
        opis.textContent = tekst + '.';
        if (dopasuj && punkty.length > 1)
            mapa.fitBounds(L.latLngBounds(punkty.map((p) => p.ll)), { padding: [30, 30], maxZoom: 16, animate: false });
    }

    function wybierz(nazwa, przesun) {
        const poprzedni = stan.wybrany;
        stan.wybrany = nazwa;
        [poprzedni, nazwa].forEach((n) => {
            const p = stan.pojazdy.get(n);
            if (p) ustawZnacznik(p);
        });
        if (poprzedni !== nazwa) stan.zdarzeniaDnia = null;
        pokazSzczegoly();
        pokazZdarzeniaPojazdu();
        if (poprzedni !== nazwa) el('dzien').value = parametry.get('dzien') || dzisiaj();
        const p = stan.pojazdy.get(nazwa);
        const ll = p && wspolrzedne(p);
        if (przesun && ll) mapa.setView(ll, Math.max(mapa.getZoom(), 12), { animate: false });
        wczytajTrase(true);
        przewinDo(nazwa);
    }

    function odznacz() {
        const poprzedni = stan.wybrany;
        stan.wybrany = null;
        ++stan.zadanieTrasy;
        usunTrase();
        const p = stan.pojazdy.get(poprzedni);
        if (p) ustawZnacznik(p);
        rysujListe();
        pokazSzczegoly();
    }

    // ---- events -------------------------------------------------------------------------

    function wierszZdarzenia(z, zPojazdem, nowe) {
        const li = document.createElement('li');
        li.className = 'zdarzenie' + (nowe ? ' nowe' : '');
        li.dataset.typ = String(z.typ);
        li.appendChild(span('godzina', godzinaZCzasu(z.od)));
        li.appendChild(document.createTextNode((zPojazdem ? String(z.pojazd) + ': ' : '') + String(z.opis || z.typ)));
        if (zPojazdem) li.addEventListener('click', () => {
            if (stan.pojazdy.has(String(z.pojazd))) wybierz(String(z.pojazd), true);
        });
        return li;
    }

    // The panel: the day's events, newest first (at most 200); those new since the last
    // refresh are marked. The chosen vehicle's events go into its details.
    function pokazZdarzenia() {
        const znane = stan.znaneZdarzenia;
        const odNowych = stan.zdarzenia.slice().reverse();
        const nowe = (z) => Boolean(znane && !znane.has(String(z.id)));
        const pokazane = odNowych.slice(0, 200);
        stan.noweZdarzenia = pokazane.some(nowe);
        el('zdarzenia-lista').replaceChildren(...pokazane.map((z) => wierszZdarzenia(z, true, nowe(z))));
        el('zdarzenia-licznik').textContent = '(' + stan.zdarzenia.length + ')';
        stan.znaneZdarzenia = new Set(stan.zdarzenia.map((z) => String(z.id)));
        pokazZdarzeniaPojazdu();
    }

    // The chosen vehicle's events of the day its track shows (today's until that is loaded).
    function pokazZdarzeniaPojazdu() {
        const zrodlo = stan.zdarzeniaDnia || stan.zdarzenia;
        const wlasne = zrodlo.filter((z) => String(z.pojazd) === stan.wybrany).reverse();
        el('szczegoly-zdarzenia').replaceChildren(...wlasne.map((z) => wierszZdarzenia(z, false, false)));
    }

    function odswiezZdarzenia() {
        if (stan.zdarzeniaTrwa) return;
        stan.zdarzeniaTrwa = true;
        fetch('/api/zdarzenia', { cache: 'no-store' })
            .then((r) => (r.ok ? r.text() : '{"zdarzenia":[]}'))
            .then((tekst) => {
                // The same answer as the last one, with none marked new: nothing to draw again.
                if (tekst === stan.tekstZdarzen && !stan.noweZdarzenia) return;
                stan.tekstZdarzen = tekst;
                const d = JSON.parse(tekst);
                stan.zdarzenia = Array.isArray(d.zdarzenia) ? d.zdarzenia : [];
                pokazZdarzenia();
            })
            .catch(() => {})
            .finally(() => {
                stan.zdarzeniaTrwa = false;
            });
    }

    // ---- refreshing ---------------------------------------------------------------------

    // An answer of /api/pojazdy: the whole list, or (with "pelna": false) only the rows
    // changed since the version the page asked from.
    function przyjmij(dane) {
        const pojazdy = listaPojazdow(dane);
        const pelna = Array.isArray(dane) || dane.pelna !== false;
        const czas = Date.parse(dane.czas);
        stan.czasSerwera = Number.isFinite(czas) ? czas : Date.now();
        stan.wersja = !Array.isArray(dane) && Number.isSafeInteger(dane.wersja) ? dane.wersja : null;
        const zmienione = new Set();
        let noweNazwy = false;
        pojazdy.forEach((p) => {
            p.nazwa = String(p.nazwa);
            p.odebrano = stan.czasSerwera;
            if (!stan.pojazdy.has(p.nazwa)) noweNazwy = true;
            zmienione.add(p.nazwa);
            stan.pojazdy.set(p.nazwa, p);
        });
        if (pelna) {
            Array.from(stan.pojazdy.keys()).forEach((n) => {
                if (zmienione.has(n)) return;
                noweNazwy = true;
                stan.pojazdy.delete(n);
                const z = stan.znaczniki.get(n);
                if (z) zdejmijZnacznik(z);
                stan.znaczniki.delete(n);
            });
        }
        wybierzGrupe();
        const doGrupy = [];
        zmienione.forEach((n) => ustawZnacznik(stan.pojazdy.get(n), doGrupy));
        // The others only age: a dot is redrawn when its colour changes with that.
        stan.znaczniki.forEach((z, n) => {
            if (zmienione.has(n)) return;
            const p = stan.pojazdy.get(n);
            if (z.swiezosc !== swiezosc(p)) ustawZnacznik(p, doGrupy);
        });
        const pierwsze = stan.pierwszeDane;
        stan.pierwszeDane = false;
        if (pierwsze) {
            // The whole fleet in view before its dots go into their group, which clusters
            // them for that zoom; when they were first drawn is the page's own measure of
            // its start (clusters are drawn once all their dots are in).
            const polozenia = Array.from(stan.znaczniki.values()).map((z) => z.getLatLng());
            if (polozenia.length > 0)
                mapa.fitBounds(L.latLngBounds(polozenia), { padding: [30, 30], maxZoom: 13, animate: false });
            const zaznacz = () => requestAnimationFrame(() => performance.mark('pierwsze-znaczniki'));
            if (grupa === skupiska && doGrupy.length > 0) poZaladowaniu = zaznacz;
            else zaznacz();
        }
        if (doGrupy.length > 0) dodajDoGrupy(doGrupy);
        uporzadkujListe(noweNazwy);
        rysujListe();
        if (stan.wybrany && !stan.pojazdy.has(stan.wybrany)) odznacz();
        else if (stan.wybrany) pokazSzczegoly();

        if (pierwsze) {
            const wybrany = parametry.get('wybierz');
            if (wybrany && stan.pojazdy.has(wybrany)) wybierz(wybrany, true);
        } else if (stan.wybrany && zmienione.has(stan.wybrany) && el('dzien').value === dzisiaj()) {
            wczytajTrase(false);
        }
        el('mapa').dataset.znaczniki = String(stan.znaczniki.size);
        const n = stan.pojazdy.size;
        el('stan').className = '';
        el('stan').textContent = n + ' ' + odmiana(n, 'pojazd', 'pojazdy', 'pojazdów') + ' · odświeżono ' + teraz();
    }

    function odswiez() {
        if (stan.trwa) return;
        stan.trwa = true;
        const adres = '/api/pojazdy' + (stan.wersja === null ? '' : '?od_wersji=' + stan.wersja);
        (pierwszaLista || fetch(adres, { cache: 'no-store' }))
            .then(odpowiedzJson)
            .then(przyjmij)
            .catch((e) => {
                el('stan').className = 'blad';
                el('stan').textContent = powodBledu(e) + ', kolejna próba za chwilę';
            })
            .finally(() => {
                stan.trwa = false;
            });
        pierwszaLista = null;
    }

    // The search: typed, or given as ?szukaj= in the address. Dots it leaves out go off
    // the map together, after a short pause in the typing.
    function szukaj() {
        stan.szukane = el('szukaj').value.trim().toLocaleLowerCase('pl');
        const doGrupy = [];
        const zdejmowane = [];
        stan.znaczniki.forEach((z) => {
            if (z.miejsce === 'grupa' && !widoczny(stan.pojazdy.get(z.nazwa))) {
                zdejmowane.push(z);
                z.miejsce = null;
            }
        });
        if (grupa === skupiska) skupiska.removeLayers(zdejmowane);
        else zdejmowane.forEach((z) => pojedyncze.removeLayer(z));
        stan.pojazdy.forEach((p) => ustawZnacznik(p, doGrupy));
        if (doGrupy.length > 0) dodajDoGrupy(doGrupy);
        uporzadkujListe(false);
        el('lista').scrollTop = 0;
        rysujListe();
    }
    let czekanieNaSzukanie = null;
    el('szukaj').addEventListener('input', () => {
        clearTimeout(czekanieNaSzukanie);
        czekanieNaSzukanie = setTimeout(szukaj, 200);
    });
    if (parametry.get('szukaj')) {
        el('szukaj').value = parametry.get('szukaj');
        stan.szukane = el('szukaj').value.trim().toLocaleLowerCase('pl');
    }
    el('zamknij').addEventListener('click', odznacz);
    el('dzien').addEventListener('change', () => {
        if (stan.wybrany) wczytajTrase(true);
    });
    el('dzisiaj').addEventListener('click', () => {
        el('dzien').value = dzisiaj();
        if (stan.wybrany) wczytajTrase(true);
    });

    // What the reports view (raporty.js) takes from the map page.
    window.mapaFloty = { dzisiaj };

    odswiez();
    setInterval(odswiez, ODSWIEZANIE_MS);
    odswiezZdarzenia();
    setInterval(odswiezZdarzenia, ODSWIEZANIE_MS);
})();
