// A vehicle shared by a link: its last position and today's track, read-only, refreshed
// every half minute until the link expires or is withdrawn.
'use strict';

(function () {
    const ODSWIEZANIE_MS = 30000;
    const token = window.location.pathname.split('/').pop();
    const el = (id) => document.getElementById(id);
    const mapa = L.map('mapa', { zoomControl: true }).setView([52.0, 19.0], 6);
    let znacznik = null;
    let trasa = null;
    let pierwszy = true;

    fetch('/api/mapa').then((o) => o.json()).then((m) => {
        if (m.url) L.tileLayer(m.url, { attribution: m.atrybucja, maxZoom: 19 }).addTo(mapa);
    }).catch(() => {});

    function czas(iso) {
        if (!iso) return 'brak';
        return iso.slice(0, 10) + ' ' + iso.slice(11, 16);
    }

    function pokaz(dane) {
        el('udostepniony-nazwa').textContent = dane.nazwa;
        document.title = dane.nazwa + ' – Serwer pozycjonowania';
        const p = dane.pojazd;
        const punkty = (dane.trasa || []).filter((t) => Number.isFinite(t[0]) && Number.isFinite(t[1]));
        if (trasa) trasa.remove();
        trasa = punkty.length > 1 ? L.polyline(punkty, { color: '#1f6fb2', weight: 4 }).addTo(mapa) : null;
        let opis = 'link ważny do ' + czas(dane.wazny_do);
        if (p && p.szerokosc !== null && p.dlugosc !== null) {
            const miejsce = [p.szerokosc, p.dlugosc];
            if (!znacznik) znacznik = L.circleMarker(miejsce, { radius: 8, color: '#0b3d66', fillColor: '#2e8bd6', fillOpacity: 0.9 }).addTo(mapa);
            znacznik.setLatLng(miejsce);
            opis = 'pozycja z ' + czas(p.czas) + (p.predkosc !== null ? ', ' + p.predkosc + ' km/h' : '') + ' · ' + opis;
            if (pierwszy) mapa.setView(miejsce, 14);
            pierwszy = false;
        } else {
            opis = 'brak pozycji · ' + opis;
        }
        el('stan').className = '';
        el('stan').textContent = opis;
    }

    function odswiez() {
        fetch('/api/udostepnione/' + encodeURIComponent(token), { cache: 'no-store' })
            .then((o) => o.json().then((b) => {
                if (!o.ok) throw new Error(b.blad || 'HTTP ' + o.status);
                return b;
            }))
            .then(pokaz)
            .catch((e) => {
                el('stan').className = 'blad';
                el('stan').textContent = e instanceof TypeError ? 'Brak połączenia z serwerem' : e.message;
            });
    }
    odswiez();
    setInterval(odswiez, ODSWIEZANIE_MS);
}());
