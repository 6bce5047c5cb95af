// The reports view of the fleet map page: trips, stops, the fleet's and the drivers'
// summaries over a span of days, as a table on the page or a CSV or XLSX file from the
// server (/api/raporty/...). Opened by the header's "Raporty" button or ?raport=NAME.
'use strict';

(function () {
    const NAJWIECEJ_WIERSZY = 2000;  // drawn on the page; the files hold all of them
    const el = (id) => document.getElementById(id);
    const parametry = new URLSearchParams(window.location.search);
    let zadanie = 0;

    const dzisiaj = () => window.mapaFloty.dzisiaj();

    // The query of the chosen report, without its format.
    function zapytanie() {
        const q = new URLSearchParams();
        const pojazdy = el('raport-pojazdy').value.trim();
        if (pojazdy) q.set('pojazd', pojazdy);
        q.set('od', el('raport-od').value || dzisiaj());
        q.set('do', el('raport-do').value || el('raport-od').value || dzisiaj());
        if (el('raport-dni').checked && !el('raport-dni').disabled) q.set('dzien', '1');
        return q;
    }

    function adres(format) {
        const q = zapytanie();
        if (format) q.set('format', format);
        return '/api/raporty/' + el('raport-rodzaj').value + '?' + q.toString();
    }

    // A value as the dispatcher reads it: Polish time as it is written, a day, hours and
    // minutes, a decimal comma.
    function tekst(wartosc, typ, miejsca) {
        if (wartosc === null || wartosc === undefined) return '';
        switch (typ) {
            case 'czas': return String(wartosc).slice(0, 16).replace('T', ' ');
            case 'sekundy': {
                const s = Number(wartosc);
                return Math.floor(s / 3600) + ':' + String(Math.floor(s / 60) % 60).padStart(2, '0');
            }
            case 'liczba': return Number(wartosc).toFixed(miejsca || 0).replace('.', ',');
            default: return String(wartosc);
        }
    }

    function rysuj(dane) {
        const tabela = el('raport-tabela');
        tabela.replaceChildren();
        const naglowek = document.createElement('tr');
        for (const k of dane.kolumny) {
            const th = document.createElement('th');
            th.textContent = k.tytul;
            th.scope = 'col';
            naglowek.appendChild(th);
        }
        const thead = document.createElement('thead');
        thead.appendChild(naglowek);
        const tbody = document.createElement('tbody');
        for (const wiersz of dane.wiersze.slice(0, NAJWIECEJ_WIERSZY)) {
            const tr = document.createElement('tr');
            for (const k of dane.kolumny) {
                const td = document.createElement('td');
                td.textContent = tekst(wiersz[k.klucz], k.typ, k.miejsca);
                if (k.typ !== 'tekst') td.className = 'liczba';
                tr.appendChild(td);
            }
            tbody.appendChild(tr);
        }
        tabela.append(thead, tbody);
        const n = dane.wiersze.length;
        el('raport-stan').textContent = n === 0 ? 'Brak wierszy w podanym czasie.'
            : n > NAJWIECEJ_WIERSZY ? 'Pokazano ' + NAJWIECEJ_WIERSZY + ' z ' + n + ' wierszy; wszystkie są w pliku CSV i XLSX.'
            : 'Wierszy: ' + n;
    }

    async function pokaz() {
        const moje = ++zadanie;
        el('raport-stan').textContent = 'Przygotowywanie raportu…';
        el('raport-stan').classList.remove('blad');
        try {
            const odp = await fetch(adres(''), { cache: 'no-store' });
            const dane = await odp.json();
            if (moje !== zadanie) return;
            if (!odp.ok) throw new Error(dane.blad || ('HTTP ' + odp.status));
            rysuj(dane);
        } catch (e) {
            if (moje !== zadanie) return;
            el('raport-tabela').replaceChildren();
            el('raport-stan').textContent = 'Nie udało się przygotować raportu: ' + e.message;
            el('raport-stan').classList.add('blad');
        }
    }

    function pobierz(format) {
        const a = document.createElement('a');
        a.href = adres(format);
        a.download = '';
        document.body.appendChild(a);
        a.click();
        a.remove();
    }

    function otworz(otwarty) {
        el('raporty').hidden = !otwarty;
        el('uklad').hidden = otwarty;
        el('przycisk-raporty').setAttribute('aria-pressed', String(otwarty));
        el('przycisk-raporty').textContent = otwarty ? 'Mapa' : 'Raporty';
        if (otwarty && !el('raport-pojazdy-lista').childElementCount) {
            fetch('/api/pojazdy', { cache: 'no-store' }).then((o) => o.json()).then((dane) => {
                const lista = el('raport-pojazdy-lista');
                for (const p of (Array.isArray(dane) ? dane : dane.pojazdy || [])) {
                    const o = document.createElement('option');
                    o.value = p.nazwa;
                    lista.appendChild(o);
                }
            }).catch(() => {});
        }
        if (!otwarty) window.dispatchEvent(new Event('resize'));  // the map takes its room again
    }

    function rodzajZmieniony() {
        const rodzaj = el('raport-rodzaj').value;
        el('raport-dni').disabled = rodzaj !== 'podsumowanie' && rodzaj !== 'kierowcy';
    }

    el('raport-od').value = parametry.get('od') || dzisiaj();
    el('raport-do').value = parametry.get('do') || el('raport-od').value;
    if (parametry.get('pojazd')) el('raport-pojazdy').value = parametry.get('pojazd');
    const rodzaj = parametry.get('raport');
    if (rodzaj && [...el('raport-rodzaj').options].some((o) => o.value === rodzaj)) el('raport-rodzaj').value = rodzaj;
    rodzajZmieniony();
    el('raport-rodzaj').addEventListener('change', rodzajZmieniony);
    el('raport-formularz').addEventListener('submit', (e) => {
        e.preventDefault();
        pokaz();
    });
    el('raport-csv').addEventListener('click', () => pobierz('csv'));
    el('raport-xlsx').addEventListener('click', () => pobierz('xlsx'));
    el('przycisk-raporty').addEventListener('click', () => otworz(el('raporty').hidden));
    if (rodzaj) {
        otworz(true);
        pokaz();
    }
})();
