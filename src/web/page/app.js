// The fleet map: every vehicle at its last position, a list beside the map, and the
// chosen vehicle's details and track of one day. It talks only to this server (and to
// the tile server named by /api/mapa, when there is one).
'use strict';

(function () {
    const ODSWIEZANIE_MS = 5000;
    const GODZINA = 3600;
    const parametry = new URLSearchParams(window.location.search);

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

    // Freshness as the server tells it, by the operator window's rules: at most 3 hours,
    // older, older than 24 hours or no position time.
    const SWIEZOSC = { aktualna: 'swieza', starsza: 'stara', nieaktualna: 'bardzo-stara' };
    function swiezosc(p) {
        if (SWIEZOSC[p.swiezosc]) return SWIEZOSC[p.swiezosc];
        const wiek = liczba(p.wiek_s);
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
        return r.json().catch(() => ({})).then((b) => {
            throw new Error(b.blad || 'HTTP ' + r.status);
        });
    }

    // A failed request in words: no answer at all (the browser's TypeError), or the server's.
    function powodBledu(e) {
        return e instanceof TypeError ? 'Brak połączenia z serwerem' : 'Serwer odpowiedział: ' + e.message;
    }

    // ---- the map ------------------------------------------------------------------------

    const el = (id) => document.getElementById(id);
    const mapa = L.map('mapa', { zoomControl: true, worldCopyJump: true }).setView([52.0, 19.4], 6);
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

    const stan = {
        pojazdy: new Map(),    // name -> the vehicle's row as last received
        znaczniki: new Map(),  // name -> circle marker
        wiersze: new Map(),    // name -> list row
        wybrany: null,
        trasa: null,           // layer group of the shown track
        zadanieTrasy: 0,
        pierwszeDane: true,
        trwa: false,
        zdarzenia: [],           // today's events, as /api/zdarzenia gives them
        znaneZdarzenia: null,    // ids seen at the last refresh (none before the first)
        zdarzeniaTrwa: false,
        zdarzeniaDnia: null,     // the chosen vehicle's events of its track's day
    };

    function klasyPojazdu(p) {
        const k = [swiezosc(p), jedzie(p) ? 'jedzie' : 'stoi'];
        if (bezGps(p)) k.push('brak-gps');
        return k;
    }

    function widoczny(p) {
        const szukane = el('szukaj').value.trim().toLocaleLowerCase('pl');
        if (!szukane) return true;
        return [p.nazwa, p.kierowca, p.licencja].some((t) => t && String(t).toLocaleLowerCase('pl').includes(szukane));
    }

    function stylZnacznika(p, wybrany) {
        const ruch = jedzie(p);
        return {
            radius: wybrany ? 11 : 7,
            color: bezGps(p) ? POMARANCZ : wybrany ? '#000000' : KOLORY[swiezosc(p)],
            weight: bezGps(p) || wybrany ? 3 : 2,
            fillColor: KOLORY[swiezosc(p)],
            fillOpacity: ruch ? 0.9 : 0.25,
        };
    }

    function ustawZnacznik(p) {
        const ll = wspolrzedne(p);
        let z = stan.znaczniki.get(p.nazwa);
        if (!ll) {
            if (z) {
                z.remove();
                stan.znaczniki.delete(p.nazwa);
            }
            return;
        }
        const wybrany = stan.wybrany === p.nazwa;
        if (!z) {
            z = L.circleMarker(ll, Object.assign({ className: 'znacznik' }, stylZnacznika(p, wybrany)));
            z.on('click', () => wybierz(p.nazwa, false));
            z.addTo(mapa);
            stan.znaczniki.set(p.nazwa, z);
        } else {
            z.setLatLng(ll);
            z.setStyle(stylZnacznika(p, wybrany));
        }
        // The registration over the dot: on hover, and always over the chosen vehicle's.
        if (z.podpisStaly !== wybrany) {
            z.unbindTooltip();
            z.bindTooltip(wezelTekstu(p.nazwa), { direction: 'top', offset: [0, -6], permanent: wybrany });
            z.podpisStaly = wybrany;
        }
        const klasy = ['znacznik'].concat(klasyPojazdu(p));
        if (wybrany) klasy.push('wybrany');
        if (!widoczny(p)) klasy.push('ukryty');
        klasy.push('leaflet-interactive');
        z.getElement().setAttribute('class', klasy.join(' '));
        z.getElement().setAttribute('data-nazwa', p.nazwa);
        if (wybrany) z.bringToFront();
    }

    // ---- the list -----------------------------------------------------------------------

    function span(klasa, tekst) {
        const s = document.createElement('span');
        s.className = klasa;
        s.textContent = tekst;
        return s;
    }

    function ustawWiersz(p) {
        let li = stan.wiersze.get(p.nazwa);
        if (!li) {
            li = document.createElement('li');
            li.tabIndex = 0;
            li.dataset.nazwa = p.nazwa;
            li.addEventListener('click', () => wybierz(p.nazwa, true));
            li.addEventListener('keydown', (e) => {
                if (e.key === 'Enter' || e.key === ' ') {
                    e.preventDefault();
                    wybierz(p.nazwa, true);
                }
            });
            stan.wiersze.set(p.nazwa, li);
        }
        const klasy = ['pojazd'].concat(klasyPojazdu(p));
        if (stan.wybrany === p.nazwa) klasy.push('wybrany');
        li.className = klasy.join(' ');
        li.hidden = !widoczny(p);
        const ruch = jedzie(p) ? 'jedzie ' + tekstPredkosci(p) : 'postój';
        const odczyt = p.odczyt ? tekstCzasu(p.odczyt) : 'nigdy';
        li.replaceChildren(
            span('ikona', ''),
            span('nazwa', p.nazwa),
            span('wiek', tekstWieku(liczba(p.wiek_s))),
            span('ruch', bezGps(p) ? 'brak GPS' : ruch),
            span('kierowca', p.kierowca || ''),
            span('odczyt', 'odczyt pamięci: ' + odczyt));
        li.title = wspolrzedne(p) ? '' : 'Brak współrzędnych: pojazdu nie ma na mapie';
    }

    function uporzadkujListe() {
        const lista = el('lista');
        const nazwy = Array.from(stan.wiersze.keys()).sort((a, b) => a.localeCompare(b, 'pl'));
        nazwy.forEach((n) => lista.appendChild(stan.wiersze.get(n)));
        const widoczne = nazwy.filter((n) => !stan.wiersze.get(n).hidden).length;
        el('licznik').textContent = widoczne === nazwy.length ? String(nazwy.length) : widoczne + ' z ' + nazwy.length;
    }

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
            ['Wiek pozycji', tekstWieku(liczba(p.wiek_s))],
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
            if (p) {
                ustawZnacznik(p);
                ustawWiersz(p);
            }
        });
        if (poprzedni !== nazwa) stan.zdarzeniaDnia = null;
        pokazSzczegoly();
        pokazZdarzeniaPojazdu();
        if (poprzedni !== nazwa) el('dzien').value = parametry.get('dzien') || dzisiaj();
        const p = stan.pojazdy.get(nazwa);
        const ll = p && wspolrzedne(p);
        if (przesun && ll) mapa.setView(ll, Math.max(mapa.getZoom(), 12), { animate: false });
        wczytajTrase(true);
        const li = stan.wiersze.get(nazwa);
        if (li && li.scrollIntoView) li.scrollIntoView({ block: 'nearest' });
    }

    function odznacz() {
        const poprzedni = stan.wybrany;
        stan.wybrany = null;
        ++stan.zadanieTrasy;
        usunTrase();
        const p = stan.pojazdy.get(poprzedni);
        if (p) {
            ustawZnacznik(p);
            ustawWiersz(p);
        }
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
        el('zdarzenia-lista').replaceChildren(...odNowych.slice(0, 200).map((z) => wierszZdarzenia(z, true, znane && !znane.has(String(z.id)))));
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
            .then((r) => (r.ok ? r.json() : { zdarzenia: [] }))
            .then((d) => {
                stan.zdarzenia = Array.isArray(d.zdarzenia) ? d.zdarzenia : [];
                pokazZdarzenia();
            })
            .catch(() => {})
            .finally(() => {
                stan.zdarzeniaTrwa = false;
            });
    }

    // ---- refreshing ---------------------------------------------------------------------

    function przyjmij(dane) {
        const pojazdy = listaPojazdow(dane);
        const nowe = new Set();
        pojazdy.forEach((p) => {
            p.nazwa = String(p.nazwa);
            nowe.add(p.nazwa);
            stan.pojazdy.set(p.nazwa, p);
            ustawZnacznik(p);
            ustawWiersz(p);
        });
        Array.from(stan.pojazdy.keys()).forEach((n) => {
            if (nowe.has(n)) return;
            stan.pojazdy.delete(n);
            const z = stan.znaczniki.get(n);
            if (z) z.remove();
            stan.znaczniki.delete(n);
            const li = stan.wiersze.get(n);
            if (li) li.remove();
            stan.wiersze.delete(n);
        });
        uporzadkujListe();
        if (stan.wybrany && !stan.pojazdy.has(stan.wybrany)) odznacz();
        else if (stan.wybrany) pokazSzczegoly();

        if (stan.pierwszeDane) {
            stan.pierwszeDane = false;
            const polozenia = Array.from(stan.znaczniki.values()).map((z) => z.getLatLng());
            if (polozenia.length > 0)
                mapa.fitBounds(L.latLngBounds(polozenia), { padding: [30, 30], maxZoom: 13, animate: false });
            const wybrany = parametry.get('wybierz');
            if (wybrany && stan.pojazdy.has(wybrany)) wybierz(wybrany, true);
        } else if (stan.wybrany && el('dzien').value === dzisiaj()) {
            wczytajTrase(false);
        }
        const n = pojazdy.length;
        el('stan').className = '';
        el('stan').textContent = n + ' ' + odmiana(n, 'pojazd', 'pojazdy', 'pojazdów') + ' · odświeżono ' + teraz();
    }

    function odswiez() {
        if (stan.trwa) return;
        stan.trwa = true;
        fetch('/api/pojazdy', { cache: 'no-store' })
            .then(odpowiedzJson)
            .then(przyjmij)
            .catch((e) => {
                el('stan').className = 'blad';
                el('stan').textContent = powodBledu(e) + ', kolejna próba za chwilę';
            })
            .finally(() => {
                stan.trwa = false;
            });
    }

    el('szukaj').addEventListener('input', () => {
        stan.pojazdy.forEach((p) => {
            ustawZnacznik(p);
            ustawWiersz(p);
        });
        uporzadkujListe();
    });
    el('zamknij').addEventListener('click', odznacz);
    el('dzien').addEventListener('change', () => {
        if (stan.wybrany) wczytajTrase(true);
    });
    el('dzisiaj').addEventListener('click', () => {
        el('dzien').value = dzisiaj();
        if (stan.wybrany) wczytajTrase(true);
    });

    odswiez();
    setInterval(odswiez, ODSWIEZANIE_MS);
    odswiezZdarzenia();
    setInterval(odswiezZdarzenia, ODSWIEZANIE_MS);
})();
