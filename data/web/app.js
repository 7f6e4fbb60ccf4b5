// The remote control's page: the torrent list, polled once a second, and the commands on it.
// Every text that comes from a torrent is set as textContent, never parsed as HTML.
'use strict';

(() => {
  const RPC = '/transmission/rpc';
  const LIST_FIELDS = ['id', 'name', 'status', 'error', 'errorString', 'percentDone',
    'rateDownload', 'rateUpload', 'peersConnected', 'uploadRatio', 'eta'];
  const DETAIL_FIELDS = ['id', 'name', 'files', 'fileStats', 'peers', 'trackerStats'];
  const STATES = ['Stopped', 'Waiting to check', 'Checking', 'Waiting', 'Downloading',
    'Waiting to seed', 'Seeding'];
  const FILTERS = {
    all: () => true,
    downloading: (t) => t.status === 3 || t.status === 4,
    seeding: (t) => t.status === 5 || t.status === 6,
    stopped: (t) => t.status === 0,
    checking: (t) => t.status === 1 || t.status === 2,
    error: (t) => t.error !== 0,
  };
  const POLL_MS = 1000;

  const $ = (id) => document.getElementById(id);
  const torrents = new Map();  // id -> the latest fields
  const rows = new Map();  // id -> <tr>
  let sessionId = '';
  let selected = null;
  let sortKey = 'name';
  let sortUp = true;
  let pollTimer = 0;
  let polling = false;
  let pollAgain = false;
  let fullList = true;

  class LoginNeeded extends Error {}

  // One command; repeats it once with the session id a 409 hands out.
  async function rpc(method, args = {}) {
    for (let attempt = 0; attempt < 2; attempt++) {
      const response = await fetch(RPC, {
        method: 'POST',
        credentials: 'same-origin',
        headers: {
          'Content-Type': 'application/json',
          'X-Transmission-Session-Id': sessionId,
          'X-Velbrook-Page': '1',
        },
        body: JSON.stringify({ method, arguments: args }),
      });
      if (response.status === 409) {
        sessionId = response.headers.get('X-Transmission-Session-Id') || '';
        continue;
      }
      if (response.status === 401) {
        throw new LoginNeeded();
      }
      if (!response.ok) {
        throw new Error(`${method}: the server answered ${response.status}`);
      }
      const answer = await response.json();
      if (answer.result !== 'success') {
        throw new Error(answer.result);
      }
      return answer.arguments || {};
    }
    throw new Error(`${method}: the server keeps changing its session id`);
  }

  // ---- formatting ----

  function bytes(n) {
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    let i = 0;
    while (n >= 1024 && i < units.length - 1) {
      n /= 1024;
      i++;
    }
    return `${i === 0 ? n : n.toFixed(1)} ${units[i]}`;
  }
  const rate = (n) => `${bytes(n)}/s`;
  const percent = (f) => `${(Math.floor(f * 1000) / 10).toFixed(1)} %`;

  function duration(seconds) {
    if (seconds < 0) {
      return '';
    }
    const d = Math.floor(seconds / 86400);
    const h = Math.floor(seconds / 3600) % 24;
    const m = Math.floor(seconds / 60) % 60;
    if (d > 0) {
      return `${d} d ${h} h`;
    }
    if (h > 0) {
      return `${h} h ${m} min`;
    }
    return m > 0 ? `${m} min ${seconds % 60} s` : `${seconds} s`;
  }

  function ratio(r) {
    if (r === -2) {
      return '∞';
    }
    return r < 0 ? '' : r.toFixed(2);
  }

  const stateOf = (t) => (t.error ? `Error: ${t.errorString}` : STATES[t.status] || '?');

  function cell(row, text, className) {
    const td = document.createElement('td');
    td.textContent = text;
    if (className) {
      td.className = className;
    }
    row.append(td);
    return td;
  }

  function fill(body, items, columns) {
    body.replaceChildren(...items.map((item) => {
      const row = document.createElement('tr');
      columns.forEach((column) => cell(row, column(item)));
      return row;
    }));
  }

  // ---- the list ----

  function makeRow(id) {
    const row = document.createElement('tr');
    row.dataset.id = id;
    cell(row, '', 'name');
    const progress = cell(row, '', 'progress');
    progress.append(document.createElement('progress'), document.createElement('span'));
    progress.firstChild.max = 1;
    progress.lastChild.className = 'percent';
    cell(row, '', 'state');
    cell(row, '', 'down wide');
    cell(row, '', 'up wide');
    cell(row, '', 'peers wide');
    cell(row, '', 'ratio wide');
    cell(row, '', 'eta');
    row.addEventListener('click', () => select(id));
    return row;
  }

  function updateRow(row, t) {
    const [name, progress, state, down, up, peers, shared, eta] = row.children;
    name.textContent = t.name;
    progress.firstChild.value = t.percentDone;
    progress.lastChild.textContent = percent(t.percentDone);
    state.textContent = stateOf(t);
    down.textContent = rate(t.rateDownload);
    up.textContent = rate(t.rateUpload);
    peers.textContent = t.peersConnected;
    shared.textContent = ratio(t.uploadRatio);
    eta.textContent = duration(t.eta);
    row.classList.toggle('selected', t.id === selected);
    row.classList.toggle('failed', t.error !== 0);
  }

  function compare(a, b) {
    const x = a[sortKey];
    const y = b[sortKey];
    const order = typeof x === 'string' ? x.localeCompare(y) : x - y;
    return (sortUp ? order : -order) || a.id - b.id;
  }

  function render() {
    for (const [id, row] of rows) {
      if (!torrents.has(id)) {
        row.remove();
        rows.delete(id);
      }
    }
    const shown = [...torrents.values()].filter(FILTERS[$('filter').value]).sort(compare);
    const body = $('rows');
    body.replaceChildren(...shown.map((t) => {
      if (!rows.has(t.id)) {
        rows.set(t.id, makeRow(t.id));
      }
      const row = rows.get(t.id);
      updateRow(row, t);
      return row;
    }));
    document.querySelectorAll('#torrents th').forEach((th) => {
      const on = th.dataset.key === sortKey;
      th.setAttribute('aria-sort', on ? (sortUp ? 'ascending' : 'descending') : 'none');
    });
    if (selected !== null && !torrents.has(selected)) {
      select(null);
    }
    const t = torrents.get(selected);
    $('start').disabled = !t || t.status !== 0;
    $('stop').disabled = !t || t.status === 0;
    $('remove').disabled = !t;
  }

  function select(id) {
    selected = id;
    $('details').hidden = id === null;
    if (id !== null) {
      $('files').replaceChildren();
      $('peers').replaceChildren();
      $('trackers').replaceChildren();
      refresh(false);
    }
    render();
  }

  function showDetails(t) {
    $('details-name').textContent = t.name;
    fill($('files'), t.files.map((f, i) => ({ ...f, ...t.fileStats[i] })), [
      (f) => f.name, (f) => bytes(f.length),
      (f) => percent(f.length ? f.bytesCompleted / f.length : 1)]);
    fill($('peers'), t.peers, [
      (p) => `${p.address}:${p.port}`, (p) => p.clientName, (p) => percent(p.progress),
      (p) => rate(p.rateToClient), (p) => rate(p.rateToPeer)]);
    fill($('trackers'), t.trackerStats, [
      (k) => k.announce, (k) => k.lastAnnounceResult,
      (k) => (k.seederCount < 0 ? '' : k.seederCount),
      (k) => (k.leecherCount < 0 ? '' : k.leecherCount)]);
  }

  // ---- polling ----

  // The whole list at start and after an add or remove; in between only what changed.
  async function poll() {
    clearTimeout(pollTimer);
    if (polling) {
      pollAgain = true;
      return;
    }
    polling = true;
    try {
      const full = fullList;
      fullList = false;
      const args = { fields: LIST_FIELDS };
      if (!full) {
        args.ids = 'recently-active';
      }
      const list = await rpc('torrent-get', args);
      if (full) {
        torrents.clear();
      }
      list.torrents.forEach((t) => torrents.set(t.id, { ...torrents.get(t.id), ...t }));
      (list.removed || []).forEach((id) => torrents.delete(id));
      const stats = await rpc('session-stats');
      $('total-down').textContent = rate(stats.downloadSpeed);
      $('total-up').textContent = rate(stats.uploadSpeed);
      render();
      if (selected !== null) {
        const detail = await rpc('torrent-get', { ids: [selected], fields: DETAIL_FIELDS });
        if (detail.torrents.length > 0 && detail.torrents[0].id === selected) {
          showDetails(detail.torrents[0]);
        }
      }
      if ($('message').classList.contains('error')) {
        say('');
      }
    } catch (e) {
      if (e instanceof LoginNeeded) {
        polling = false;
        pollAgain = false;
        showLogin();
        return;
      }
      fullList = true;
      say(e.message, true);
    }
    polling = false;
    if (pollAgain) {
      pollAgain = false;
      poll();
    } else {
      pollTimer = setTimeout(poll, POLL_MS);
    }
  }

  function refresh(full = true) {
    fullList = fullList || full;
    poll();
  }

  function say(text, error = false) {
    $('message').textContent = text;
    $('message').classList.toggle('error', error);
  }

  // A command from a button: its failure is shown, a lost login brings the form back.
  async function command(method, args, done) {
    try {
      const answer = await rpc(method, args);
      if (done) {
        done(answer);
      }
      refresh();
    } catch (e) {
      if (e instanceof LoginNeeded) {
        showLogin();
      } else {
        say(e.message, true);
      }
    }
  }

  // ---- adding ----

  function readBase64(file) {
    return new Promise((resolve, reject) => {
      const reader = new FileReader();
      reader.onload = () => resolve(String(reader.result).replace(/^[^,]*,/, ''));
      reader.onerror = () => reject(new Error(`cannot read ${file.name}`));
      reader.readAsDataURL(file);
    });
  }

  async function add(event) {
    event.preventDefault();
    const file = $('torrent-file').files[0];
    const link = $('magnet').value.trim();
    let args;
    try {
      args = file ? { metainfo: await readBase64(file) } : link ? { filename: link } : null;
    } catch (e) {
      say(e.message, true);
      return;
    }
    if (!args) {
      say('Choose a .torrent file or paste a magnet link.', true);
      return;
    }
    await command('torrent-add', args, (answer) => {
      const t = answer['torrent-added'] || answer['torrent-duplicate'];
      say(answer['torrent-added'] ? `Added ${t.name}.` : `${t.name} is already in the list.`);
      $('add-form').reset();
    });
  }

  // ---- speed limits ----

  async function loadLimits() {
    const s = await rpc('session-get');
    $('down-on').checked = s['speed-limit-down-enabled'];
    $('down-limit').value = s['speed-limit-down'];
    $('up-on').checked = s['speed-limit-up-enabled'];
    $('up-limit').value = s['speed-limit-up'];
  }

  function setLimits(event) {
    event.preventDefault();
    const number = (id) => Math.max(0, Math.floor(Number($(id).value) || 0));
    command('session-set', {
      'speed-limit-down-enabled': $('down-on').checked,
      'speed-limit-down': number('down-limit'),
      'speed-limit-up-enabled': $('up-on').checked,
      'speed-limit-up': number('up-limit'),
    }, () => {
      say('Speed limits set.');
      loadLimits().catch((e) => say(e.message, true));
    });
  }

  // ---- login ----

  function showLogin() {
    clearTimeout(pollTimer);
    $('app').hidden = true;
    $('login').hidden = false;
    $('login-user').focus();
  }

  async function logIn(event) {
    event.preventDefault();
    $('login-error').textContent = '';
    const response = await fetch('/transmission/login', {
      method: 'POST',
      credentials: 'same-origin',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ user: $('login-user').value, password: $('login-password').value }),
    });
    $('login-password').value = '';
    if (response.ok) {
      start();
    } else if (response.status === 429) {
      const wait = response.headers.get('Retry-After') || 'a few';
      $('login-error').textContent = `Too many failed logins; try again in ${wait} s.`;
    } else {
      $('login-error').textContent = 'The user name or the password is wrong.';
    }
  }

  async function logOut() {
    clearTimeout(pollTimer);
    await fetch('/transmission/logout', { method: 'POST', credentials: 'same-origin' });
    torrents.clear();
    select(null);
    showLogin();
  }

  async function start() {
    try {
      await loadLimits();
    } catch (e) {
      if (e instanceof LoginNeeded) {
        showLogin();
        return;
      }
      say(e.message, true);
    }
    $('login').hidden = true;
    $('app').hidden = false;
    refresh();
  }

  // ---- wiring ----

  function withSelected(method, args = {}) {
    if (selected !== null) {
      command(method, { ...args, ids: [selected] });
    }
  }

  function askRemove() {
    const t = torrents.get(selected);
    if (!t) {
      return;
    }
    $('remove-name').textContent = t.name;
    $('remove-data').checked = false;
    $('remove-dialog').dataset.id = t.id;
    $('remove-dialog').showModal();
  }

  $('remove-dialog').addEventListener('close', () => {
    const dialog = $('remove-dialog');
    if (dialog.returnValue === 'remove') {
      const id = Number(dialog.dataset.id);
      command('torrent-remove', { ids: [id], 'delete-local-data': $('remove-data').checked },
        () => select(null));
    }
    dialog.returnValue = '';
  });

  document.querySelectorAll('#torrents th').forEach((th) => {
    th.addEventListener('click', () => {
      sortUp = th.dataset.key === sortKey ? !sortUp : true;
      sortKey = th.dataset.key;
      render();
    });
  });
  $('filter').addEventListener('change', render);
  $('login-form').addEventListener('submit', logIn);
  $('logout').addEventListener('click', logOut);
  $('add-form').addEventListener('submit', add);
  $('limits').addEventListener('submit', setLimits);
  $('start').addEventListener('click', () => withSelected('torrent-start'));
  $('stop').addEventListener('click', () => withSelected('torrent-stop'));
  $('remove').addEventListener('click', askRemove);

  start();
})();
