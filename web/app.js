// The dashboard's foundation and the operator's live pages.
//
// Owns: the signed-in session (the access token lives in sessionStorage only
// and travels solely in the Authorization header), the one API client, the
// /api/state poll that every page renders from, the mode banner, and three
// pages: raising an alert (with its preview, idempotency key and typed live
// confirmation), watching alerts, and the receiving computers.
//
// Other scripts add their pages through Halvenor.onState / Halvenor.views and
// use the helpers exported here. The page runs under a content security
// policy without inline scripts or styles, so nothing here writes style
// attributes: state is shown with classes, text and symbols.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  var TOKEN_KEY = 'halvenor.token';
  var POLL_INTERVAL_MS = 4000;
  var STALE_AFTER_SECONDS = 120;
  var TITLE_LIMIT = 100;
  var BODY_LIMIT = 1000;
  var LIVE_CONFIRMATION = 'SEND LIVE ALERT';
  var CONCLUDE_CONFIRMATION = 'CONCLUDE INCIDENT';
  var UNREACHABLE = 'The service could not be reached. Check that it is running and that this computer is on the network, then try again.';

  // ---------------------------------------------------------------- DOM helpers

  function $(selector, root) { return (root || document).querySelector(selector); }
  function $all(selector, root) { return Array.prototype.slice.call((root || document).querySelectorAll(selector)); }

  // el('p', {class: 'x', text: 'hi', on: {click: fn}, data: {key: 'v'}}, child...)
  function el(tag, attrs) {
    var node = document.createElement(tag);
    attrs = attrs || {};
    Object.keys(attrs).forEach(function (name) {
      var value = attrs[name];
      if (value === undefined || value === null || value === false) return;
      if (name === 'text') node.textContent = String(value);
      else if (name === 'class') node.className = value;
      else if (name === 'on') Object.keys(value).forEach(function (ev) { node.addEventListener(ev, value[ev]); });
      else if (name === 'data') Object.keys(value).forEach(function (k) { node.dataset[k] = value[k]; });
      else if (name === 'style') throw new Error('inline styles are not allowed');
      else if (value === true) node.setAttribute(name, '');
      else node.setAttribute(name, String(value));
    });
    for (var i = 2; i < arguments.length; i++) append(node, arguments[i]);
    return node;
  }

  function append(node, child) {
    if (child === undefined || child === null || child === false) return;
    if (Array.isArray(child)) { child.forEach(function (c) { append(node, c); }); return; }
    node.appendChild(typeof child === 'string' || typeof child === 'number' ? document.createTextNode(String(child)) : child);
  }

  function clear(node) { while (node.firstChild) node.removeChild(node.firstChild); return node; }

  function show(node, visible) { if (node) node.hidden = !visible; }

  // Shows a message (the server's own words for refusals) in a box, or hides it.
  function say(node, message) {
    if (!node) return;
    node.textContent = message || '';
    node.hidden = !message;
  }

  // A refusal in a page-wide message box, brought into view so it is read
  // next to the form that caused it.
  function refuse(node, message) {
    say(node, message);
    if (message && node.scrollIntoView) node.scrollIntoView({block: 'nearest'});
  }

  // Text length as the service counts it: Unicode code points.
  function codePoints(text) { return Array.from(text || '').length; }

  function plural(n, one, many) { return n + ' ' + (n === 1 ? one : (many || one + 's')); }

  // ---------------------------------------------------------------- time

  function nowSeconds() { return Date.now() / 1000; }

  function formatTime(seconds) {
    if (typeof seconds !== 'number') return '';
    var d = new Date(seconds * 1000);
    var today = new Date();
    var time = d.toLocaleTimeString(undefined, {hour: '2-digit', minute: '2-digit', second: '2-digit'});
    if (d.toDateString() === today.toDateString()) return time;
    return d.toLocaleDateString(undefined, {day: 'numeric', month: 'short', year: 'numeric'}) + ' ' + time;
  }

  function formatDuration(seconds) {
    seconds = Math.max(0, Math.round(seconds));
    if (seconds < 60) return plural(seconds, 'second');
    var minutes = Math.round(seconds / 60);
    if (minutes < 120) return plural(minutes, 'minute');
    var hours = Math.round(minutes / 60);
    if (hours < 48) return plural(hours, 'hour');
    return plural(Math.round(hours / 24), 'day');
  }

  function relativeTime(seconds, now) {
    if (typeof seconds !== 'number') return 'never';
    now = now || nowSeconds();
    var delta = seconds - now;
    if (Math.abs(delta) < 5) return 'just now';
    return delta > 0 ? 'in ' + formatDuration(delta) : formatDuration(-delta) + ' ago';
  }

  // A <time> element showing a relative time, with the exact time beside it
  // for screen readers and sighted users alike.
  function timeElement(seconds, relative) {
    if (typeof seconds !== 'number') return el('span', {class: 'muted', text: 'never'});
    var iso = new Date(seconds * 1000).toISOString();
    return el('time', {datetime: iso, title: new Date(seconds * 1000).toString()},
      relative ? relativeTime(seconds) + ' (' + formatTime(seconds) + ')' : formatTime(seconds));
  }

  // ---------------------------------------------------------------- generic rendering

  var ACRONYMS = {id: 'ID', url: 'URL', tls: 'TLS', ca: 'CA', sms: 'SMS', csr: 'CSR', dns: 'DNS', ip: 'IP', pem: 'PEM', sha256: 'SHA-256', p90: 'P90'};

  // "can_send_sms" -> "Can send SMS": keys shown as labels when a companion's
  // answer is displayed as it came.
  function humanKey(key) {
    var words = String(key).split('_').map(function (w) { return ACRONYMS[w.toLowerCase()] || w; });
    var text = words.join(' ');
    return text.charAt(0).toUpperCase() + text.slice(1);
  }

  function isPlainObject(v) { return v !== null && typeof v === 'object' && !Array.isArray(v); }

  function scalarText(value) {
    if (value === null || value === undefined) return '—';
    if (value === true) return 'Yes';
    if (value === false) return 'No';
    return String(value);
  }

  // One value as a compact node: scalars as text, flag values with a symbol,
  // long or multi-line text as preformatted, lists and objects inline.
  function renderCell(value) {
    if (value === true) return el('span', {class: 'flag flag-yes'}, el('span', {'aria-hidden': 'true', text: '✓ '}), 'Yes');
    if (value === false) return el('span', {class: 'flag flag-no'}, el('span', {'aria-hidden': 'true', text: '✗ '}), 'No');
    if (typeof value === 'string' && (value.indexOf('\n') >= 0 || value.length > 120)) return el('pre', {class: 'pre-value', text: value});
    if (Array.isArray(value)) {
      if (value.every(function (v) { return !isPlainObject(v) && !Array.isArray(v); })) {
        return document.createTextNode(value.length ? value.map(scalarText).join(', ') : '—');
      }
      return renderValue(value);
    }
    if (isPlainObject(value)) {
      var keys = Object.keys(value);
      if (!keys.length) return document.createTextNode('—');
      if (keys.every(function (k) { return !isPlainObject(value[k]) && !Array.isArray(value[k]); })) {
        return document.createTextNode(keys.map(function (k) { return humanKey(k) + ': ' + scalarText(value[k]); }).join('; '));
      }
      return renderValue(value);
    }
    return document.createTextNode(scalarText(value));
  }

  var TIME_KEYS = /^(created|expires|at|as_of|last_seen|seen|updated|next_at|received|displayed|acknowledged|not_before|not_after)$|_at$/;
  var EARLIEST_TIME = 946684800;  // 2000-01-01: smaller numbers are not times

  // A value shown under a known key: times as times, seconds as durations,
  // delivery statuses and counts with the dashboard's words and symbols.
  function renderField(key, value) {
    if (typeof value === 'number' && TIME_KEYS.test(key) && value > EARLIEST_TIME) return timeElement(value);
    if (typeof value === 'number' && /_seconds$/.test(key)) return document.createTextNode(formatSeconds(value));
    if (typeof value === 'string' && /(^|_)status$/.test(key) && STATUS[value]) return statusChip(value);
    if (isPlainObject(value) && allNumbers(value)) return countChips(value);
    return renderCell(value);
  }

  function formatSeconds(value) {
    return value < 10 ? value.toFixed(2) + ' s' : value < 120 ? value.toFixed(1) + ' s' : formatDuration(value);
  }

  function allNumbers(object) {
    var keys = Object.keys(object);
    return keys.length > 1 && keys.every(function (k) { return typeof object[k] === 'number'; });
  }

  // {"total": 3, "acknowledged": 1, "pending": 0, ...} as chips, zeros left out.
  function countChips(counts) {
    var row = el('span', {class: 'chip-row'});
    Object.keys(counts).forEach(function (k) {
      if (k === 'total') row.appendChild(el('span', {class: 'chip tone-strong', text: 'Total: ' + counts[k]}));
      else if (counts[k] !== 0) row.appendChild(STATUS[k] ? statusChip(k, counts[k]) : el('span', {class: 'chip', text: humanKey(k) + ': ' + counts[k]}));
    });
    if (!row.firstChild) row.appendChild(document.createTextNode('none'));
    return row;
  }

  // A table from an array of objects: one column per key seen, in first-seen
  // order, so whatever a companion returns is shown without knowing its shape.
  function renderTable(rows, options) {
    options = options || {};
    var columns = options.columns || [];
    if (!options.columns) {
      rows.forEach(function (row) {
        Object.keys(row || {}).forEach(function (k) { if (columns.indexOf(k) < 0) columns.push(k); });
      });
    }
    var table = el('table', {class: 'data-table'});
    if (options.caption) table.appendChild(el('caption', {text: options.caption}));
    var headRow = el('tr');
    columns.forEach(function (c) { headRow.appendChild(el('th', {scope: 'col', text: options.labels && options.labels[c] || humanKey(c)})); });
    if (options.actions) headRow.appendChild(el('th', {scope: 'col', text: 'Actions'}));
    table.appendChild(el('thead', null, headRow));
    var body = el('tbody');
    rows.forEach(function (row) {
      var tr = el('tr');
      columns.forEach(function (c, i) {
        var cell = el(i === 0 ? 'th' : 'td', i === 0 ? {scope: 'row'} : null);
        cell.appendChild(renderField(c, row ? row[c] : undefined));
        tr.appendChild(cell);
      });
      if (options.actions) tr.appendChild(el('td', {class: 'row-actions'}, options.actions(row)));
      body.appendChild(tr);
    });
    table.appendChild(body);
    return scrollable(table, options.caption || options.label || 'Table');
  }

  // Wide tables scroll sideways inside a focusable region at high zoom, so the
  // page itself never scrolls horizontally and keyboard users can reach it.
  function scrollable(node, label) {
    return el('div', {class: 'table-wrap', role: 'region', 'aria-label': label, tabindex: '0'}, node);
  }

  // Any JSON value as readable markup: objects as definition lists, arrays of
  // objects as tables, other arrays as lists.
  function renderValue(value, label) {
    if (Array.isArray(value)) {
      if (!value.length) return el('p', {class: 'muted', text: 'None.'});
      if (value.every(isPlainObject)) return renderTable(value, {label: label});
      return el('ul', {class: 'plain-list'}, value.map(function (v) { return el('li', null, renderCell(v)); }));
    }
    if (isPlainObject(value) && allNumbers(value)) return countChips(value);
    if (isPlainObject(value)) {
      var dl = el('dl', {class: 'facts'});
      Object.keys(value).forEach(function (k) {
        dl.appendChild(el('dt', {text: humanKey(k)}));
        var v = value[k];
        var nested = (isPlainObject(v) && Object.keys(v).length > 0 && !allNumbers(v)) || (Array.isArray(v) && v.some(isPlainObject));
        dl.appendChild(el('dd', null, nested ? renderValue(v, humanKey(k)) : renderField(k, v)));
      });
      return dl;
    }
    return el('p', null, renderCell(value));
  }

  // ---------------------------------------------------------------- session and API

  var session = {
    token: function () { try { return sessionStorage.getItem(TOKEN_KEY) || ''; } catch (e) { return ''; } },
    set: function (token) { sessionStorage.setItem(TOKEN_KEY, token); },
    clear: function () { try { sessionStorage.removeItem(TOKEN_KEY); } catch (e) { /* storage unavailable */ } }
  };

  function fileNameFrom(disposition) {
    var match = /filename="([^"]*)"/.exec(disposition || '');
    return match ? match[1] : '';
  }

  // Every call to the service goes through here. Resolves (never rejects) to
  // {ok, status, data, error, blob, filename}; `error` is the service's own
  // message when it sent one.
  function api(method, path, body, options) {
    options = options || {};
    var headers = {};
    var token = session.token();
    if (token) headers.Authorization = 'Bearer ' + token;
    var init = {method: method, headers: headers, cache: 'no-store', credentials: 'omit', redirect: 'error'};
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    if (options.idempotencyKey) headers['Idempotency-Key'] = options.idempotencyKey;
    return fetch(path, init).then(function (response) {
      var type = response.headers.get('Content-Type') || '';
      var disposition = response.headers.get('Content-Disposition') || '';
      if (response.ok && (options.download || disposition)) {
        return response.blob().then(function (blob) {
          return {ok: true, status: response.status, blob: blob, type: type, filename: fileNameFrom(disposition)};
        });
      }
      return response.text().then(function (text) {
        var data = null;
        try { data = text ? JSON.parse(text) : null; } catch (e) { data = null; }
        var result = {ok: response.ok, status: response.status, data: data};
        if (!response.ok) {
          result.error = data && typeof data.error === 'string' ? data.error
            : 'The service answered ' + response.status + ' ' + response.statusText + '.';
          if (response.status === 401 && path !== '/api/auth/logout') sessionEnded(result.error);
        }
        return result;
      });
    }, function () {
      return {ok: false, status: 0, error: UNREACHABLE, unreachable: true};
    });
  }

  // Saves a downloaded reply under the name the service gave it.
  function saveFile(blob, filename) {
    var url = URL.createObjectURL(blob);
    var link = el('a', {href: url, download: filename || 'download', class: 'visually-hidden'});
    document.body.appendChild(link);
    link.click();
    setTimeout(function () { URL.revokeObjectURL(url); link.remove(); }, 1000);
  }

  function newKey() {
    if (window.crypto && typeof window.crypto.randomUUID === 'function') return window.crypto.randomUUID();
    var bytes = new Uint8Array(16);
    window.crypto.getRandomValues(bytes);
    bytes[6] = (bytes[6] & 0x0f) | 0x40;
    bytes[8] = (bytes[8] & 0x3f) | 0x80;
    var hex = Array.prototype.map.call(bytes, function (b) { return (b + 0x100).toString(16).slice(1); }).join('');
    return hex.slice(0, 8) + '-' + hex.slice(8, 12) + '-' + hex.slice(12, 16) + '-' + hex.slice(16, 20) + '-' + hex.slice(20);
  }

  // ---------------------------------------------------------------- state polling

  var listeners = [];
  var pollTimer = null;
  var polling = false;
  var inFlight = null;

  function onState(fn) { listeners.push(fn); }

  function publish() {
    listeners.forEach(function (fn) {
      try { fn(H.state); } catch (e) { reportFault(e); }
    });
  }

  function reportFault(e) {
    // A rendering fault must not stop the poll; show it instead of hiding it.
    say($('#connection-problem'), 'The dashboard could not show part of the latest state: ' + (e && e.message ? e.message : e));
  }

  function refreshState() {
    if (inFlight) return inFlight;
    inFlight = api('GET', '/api/state').then(function (result) {
      inFlight = null;
      if (!polling) return result;
      if (result.ok && isPlainObject(result.data)) {
        H.state = result.data;
        H.lastUpdate = new Date();
        say($('#connection-problem'), '');
        publish();
      } else if (result.status !== 401) {
        say($('#connection-problem'), 'Not up to date: ' + result.error + ' Retrying every few seconds.');
      }
      return result;
    });
    return inFlight;
  }

  function schedule() {
    clearTimeout(pollTimer);
    if (!polling) return;
    pollTimer = setTimeout(function () {
      refreshState().then(schedule, schedule);
    }, POLL_INTERVAL_MS);
  }

  function startPolling() { polling = true; return refreshState().then(function (r) { schedule(); return r; }); }
  function stopPolling() { polling = false; clearTimeout(pollTimer); }

  // ---------------------------------------------------------------- sign-in

  function signIn(token) {
    session.set(token);
    return startPolling().then(function (result) {
      if (!result.ok) {
        stopPolling();
        session.clear();
        return result;
      }
      enterDashboard();
      return result;
    });
  }

  // Page messages stick just below the sticky mode banner, and scrolling a
  // message into view stops short of the banner, so no answer of the service
  // is ever hidden underneath it. The banner's height changes with the width
  // and the zoom, so it is measured rather than assumed.
  function trackBannerHeight() {
    var banner = $('#mode-banner');
    var update = function () {
      var sticky = !banner.hidden && getComputedStyle(banner).position === 'sticky';
      document.documentElement.style.setProperty('--banner-height', (sticky ? banner.offsetHeight : 0) + 'px');
    };
    if (window.ResizeObserver) new ResizeObserver(update).observe(banner);
    window.addEventListener('resize', update);
    update();
  }

  function enterDashboard() {
    show($('#signin-view'), false);
    show($('#session-bar'), true);
    show($('#mode-banner'), true);
    show($('#main-nav'), true);
    if (H.menu) H.menu.start();
  }

  function leaveDashboard(message) {
    stopPolling();
    session.clear();
    H.state = null;
    show($('#session-bar'), false);
    show($('#mode-banner'), false);
    show($('#main-nav'), false);
    say($('#connection-problem'), '');
    if (H.menu) H.menu.stop();
    show($('#signin-view'), true);
    say($('#signin-error'), message || '');
    var input = $('#signin-token');
    input.value = '';
    input.focus();
  }

  // A credential refused while signed in (expired, rotated or revoked).
  function sessionEnded(message) {
    if (!H.state) return;
    leaveDashboard('You are signed out: ' + message);
  }

  function signOut() {
    var done = function () { leaveDashboard(''); };
    api('POST', '/api/auth/logout', {}).then(done, done);
  }

  // ---------------------------------------------------------------- banner and identity

  function modeClass(mode) {
    if (mode === 'EXERCISE ONLY') return 'mode-exercise';
    if (/^DEMONSTRATION/.test(mode || '')) return 'mode-demo';
    if (mode === 'LIVE DESKTOP ENABLED') return 'mode-live';
    return 'mode-unknown';
  }

  var MODE_EXPLAIN = {
    'mode-exercise': ['●', 'Live incidents are switched off on this service: every alert is an exercise.'],
    'mode-demo': ['◆', 'Demonstration installation: live incidents reach only demonstration agents.'],
    'mode-live': ['▲', 'Live incidents can reach receiving computers.'],
    'mode-unknown': ['■', '']
  };

  function renderBanner(state) {
    var banner = $('#mode-banner');
    var cls = modeClass(state.mode);
    banner.className = 'mode-banner ' + cls;
    $('#mode-symbol').textContent = MODE_EXPLAIN[cls][0];
    $('#mode-text').textContent = state.mode || 'Mode unknown';
    $('#mode-explain').textContent = MODE_EXPLAIN[cls][1];
    $('#connection-status').textContent = H.lastUpdate ? 'Updated ' + H.lastUpdate.toLocaleTimeString() : '';
    var user = state.current_user || {};
    $('#who-name').textContent = user.display_name || user.id || '';
    var role = state.role === 'auditor' ? 'Auditor, read only' : state.role === 'operator' ? 'Operator' : (state.role || '');
    if (state.can_manage_users === true) role += ', administrator';
    $('#who-role').textContent = '(' + role + ')';
    document.body.classList.toggle('is-auditor', state.role !== 'operator');
  }

  // ---------------------------------------------------------------- delivery status vocabulary

  var STATUS = {
    acknowledged: {symbol: '✓', label: 'Acknowledged', tone: 'ok'},
    displayed: {symbol: '◉', label: 'Displayed', tone: 'info'},
    received: {symbol: '●', label: 'Received', tone: 'info'},
    pending: {symbol: '…', label: 'Waiting for computer', tone: 'wait'},
    queued: {symbol: '…', label: 'Queued', tone: 'wait'},
    expired_not_displayed: {symbol: '✗', label: 'Expired, never displayed', tone: 'bad'},
    expired_unacknowledged: {symbol: '!', label: 'Expired, not acknowledged', tone: 'warn'},
    cancelled_not_displayed: {symbol: '–', label: 'Cancelled before display', tone: 'muted'},
    cancelled_unacknowledged: {symbol: '–', label: 'Cancelled, not acknowledged', tone: 'muted'}
  };
  var STATUS_ORDER = Object.keys(STATUS);

  function statusInfo(status) {
    return STATUS[status] || {symbol: '•', label: humanKey(status || 'unknown'), tone: 'muted'};
  }

  function statusChip(status, count) {
    var info = statusInfo(status);
    return el('span', {class: 'chip tone-' + info.tone},
      el('span', {class: 'chip-symbol', 'aria-hidden': 'true', text: info.symbol}),
      info.label + (count === undefined ? '' : ': ' + count));
  }

  var CHANNEL_LABELS = {desktop: 'Receiving computers', sms: 'SMS', whatsapp: 'WhatsApp'};
  function channelLabel(c) { return CHANNEL_LABELS[c] || String(c); }

  function parseJsonText(text, fallback) {
    if (typeof text !== 'string') return text === undefined || text === null ? fallback : text;
    try { return JSON.parse(text); } catch (e) { return fallback; }
  }

  // The service's built-in vocabulary ends with an entry named "Departments",
  // which reads as a heading, not a place; it is offered only where a
  // receiving computer really is in it.
  var PLACEHOLDER_DEPARTMENT = 'Departments';
  function departmentChoices(state) {
    var used = (state.devices || []).some(function (d) { return (d.departments || []).indexOf(PLACEHOLDER_DEPARTMENT) >= 0; });
    return (state.departments || []).filter(function (d) { return d !== PLACEHOLDER_DEPARTMENT || used; });
  }

  function siteLabel(state, site) { return (state.site_labels && state.site_labels[site]) || site; }
  function departmentLabel(state, d) { return (state.department_labels && state.department_labels[d]) || d; }
  function recipientName(state, id) { return (state.recipient_names && state.recipient_names[id]) || id; }
  function groupName(state, id) {
    var g = (state.groups || []).filter(function (x) { return x.id === id; })[0];
    return g ? (g.name || g.display_name || g.id) : id;
  }

  // ---------------------------------------------------------------- raise an alert

  var compose = {
    key: newKey(),      // Idempotency-Key of the alert being composed; reused on every retry
    previewed: null,    // the request the operator saw previewed, or null
    vocabulary: ''      // signature of the option lists last built
  };

  function checkedValues(name, root) {
    return $all('input[name="' + name + '"]:checked', root).map(function (i) { return i.value; });
  }

  function optionCheckbox(name, value, label, extra) {
    var id = 'opt-' + name + '-' + value.replace(/[^A-Za-z0-9_-]/g, '_');
    return el('label', {class: 'inline-choice', for: id},
      el('input', {type: 'checkbox', name: name, value: value, id: id}), ' ', label,
      extra ? el('span', {class: 'hint', text: ' ' + extra}) : null);
  }

  function rebuildOptions(container, name, items) {
    var before = checkedValues(name, container);
    clear(container);
    items.forEach(function (item) {
      var node = optionCheckbox(name, item.value, item.label, item.extra);
      if (before.indexOf(item.value) >= 0) $('input', node).checked = true;
      container.appendChild(node);
    });
  }

  function renderComposerVocabulary(state) {
    var signature = JSON.stringify([state.sites, state.site_labels, state.departments, state.department_labels,
      state.groups, state.alert_templates]);
    if (signature === compose.vocabulary) return;
    compose.vocabulary = signature;
    rebuildOptions($('#site-options'), 'site', (state.sites || []).map(function (s) {
      return {value: s, label: siteLabel(state, s)};
    }));
    rebuildOptions($('#department-options'), 'department', departmentChoices(state).map(function (d) {
      return {value: d, label: departmentLabel(state, d)};
    }));
    var groups = state.groups || [];
    rebuildOptions($('#group-options'), 'group', groups.map(function (g) {
      var n = typeof g.member_count === 'number' ? '(' + plural(g.member_count, 'member') + ')' : '';
      return {value: String(g.id), label: g.name || g.display_name || String(g.id), extra: n};
    }));
    show($('#groups-empty'), !groups.length);
    rebuildOptions($('#escalate-group-options'), 'escalate-group', groups.map(function (g) {
      return {value: String(g.id), label: 'Escalate to ' + (g.name || g.display_name || String(g.id))};
    }));
    show($('#escalation-fieldset'), groups.length > 0);
    var select = $('#compose-template');
    var chosen = select.value;
    clear(select).appendChild(el('option', {value: '', text: 'No template'}));
    (state.alert_templates || []).forEach(function (t, i) {
      select.appendChild(el('option', {value: String(i), text: t.name || t.title || 'Template ' + (i + 1)}));
    });
    select.value = chosen;
    show($('#template-field'), (state.alert_templates || []).length > 0);
  }

  function renderComposerPermissions(state) {
    var liveInput = $('#kind-live');
    var reason = '';
    if (state.live_desktop_enabled !== true) reason = 'Live incidents are switched off on this service.';
    else if (state.can_send_live !== true) reason = 'Your account may not send live incidents.';
    liveInput.disabled = !!reason;
    if (reason && liveInput.checked) { liveInput.checked = false; composerChanged(); }
    say($('#live-unavailable'), reason);
    var hints = [];
    var integrations = state.integrations || {};
    ['sms', 'whatsapp'].forEach(function (c) {
      var report = integrations[c] || {};
      var permitted = state['can_send_' + c] === true;
      if (report.network_delivery_enabled !== true) hints.push(channelLabel(c) + ': no provider connection is sending.');
      else if (!permitted) hints.push(channelLabel(c) + ': your account lacks permission.');
      else if (report.live_sending_enabled !== true) hints.push(channelLabel(c) + ': exercises only.');
    });
    $('#channel-hint').textContent = hints.join(' ');
  }

  function updateCounters() {
    [['#compose-title', '#title-count', TITLE_LIMIT], ['#compose-body', '#body-count', BODY_LIMIT]].forEach(function (f) {
      var n = codePoints($(f[0]).value);
      var over = n > f[2];
      var counter = $(f[1]);
      counter.textContent = n + ' of ' + f[2] + ' characters' + (over ? ' — too long by ' + (n - f[2]) : '');
      counter.classList.toggle('counter-over', over);
      $(f[0]).setAttribute('aria-invalid', over ? 'true' : 'false');
    });
  }

  function composeKind() {
    var checked = $('input[name="kind"]:checked');
    return checked ? checked.value : '';
  }

  // The request exactly as the service will judge it; the service's own
  // validation decides and its refusals are shown word for word.
  function buildRequest() {
    var kind = composeKind();
    var request = {};
    if (kind === 'exercise') request.test = true;
    if (kind === 'live') request.test = false;
    request.title = $('#compose-title').value;
    request.body = $('#compose-body').value;
    var severity = $('input[name="severity"]:checked');
    request.severity = severity ? severity.value : '';
    var ttl = $('#compose-ttl').value.trim();
    request.ttl_minutes = /^\d+$/.test(ttl) ? parseInt(ttl, 10) : ttl;
    request.channels = checkedValues('channel');
    request.sites = checkedValues('site');
    request.departments = checkedValues('department');
    request.groups = checkedValues('group');
    if (kind === 'live') request.incident_reference = $('#compose-reference').value;
    if ($('#escalate').checked) {
      var number = function (id) { var v = $(id).value.trim(); return /^\d+$/.test(v) ? parseInt(v, 10) : v; };
      request.escalation = {after_minutes: number('#escalate-after'), min_acknowledged_percent: number('#escalate-percent'),
        channels: checkedValues('escalate-channel'), groups: checkedValues('escalate-group')};
    }
    if (request.channels.indexOf('whatsapp') >= 0) {
      var values = {};
      $all('#whatsapp-fields [data-wa]').forEach(function (input) {
        if (input.value.trim()) values[input.dataset.wa] = input.value;
      });
      if (Object.keys(values).length) request.whatsapp_values = values;
    }
    return request;
  }

  function composerChanged() {
    var kind = composeKind();
    show($('#live-fields'), kind === 'live');
    show($('#whatsapp-fields'), checkedValues('channel').indexOf('whatsapp') >= 0);
    show($('#escalation-fields'), $('#escalate').checked);
    var form = $('#compose-form');
    form.classList.toggle('is-live', kind === 'live');
    form.classList.toggle('is-exercise', kind === 'exercise');
    updateCounters();
    // Anything changed after the preview makes it stale: preview again.
    if (compose.previewed && JSON.stringify(buildRequest()) !== JSON.stringify(compose.previewed)) {
      closePreview();
    }
  }

  function closePreview() {
    compose.previewed = null;
    show($('#preview-panel'), false);
    say($('#send-error'), '');
    $('#live-confirm-input').value = '';
  }

  function applyTemplate(index) {
    var t = ((H.state && H.state.alert_templates) || [])[index];
    if (!t) return;
    if (typeof t.title === 'string') $('#compose-title').value = t.title;
    if (typeof t.body === 'string') $('#compose-body').value = t.body;
    if (t.severity === 'ticker' || t.severity === 'critical') $('input[name="severity"][value="' + t.severity + '"]').checked = true;
    if (typeof t.ttl_minutes === 'number') $('#compose-ttl').value = String(t.ttl_minutes);
    if (Array.isArray(t.channels)) $all('input[name="channel"]').forEach(function (i) { i.checked = t.channels.indexOf(i.value) >= 0; });
    [['sites', 'site'], ['departments', 'department'], ['groups', 'group']].forEach(function (pair) {
      if (Array.isArray(t[pair[0]])) $all('input[name="' + pair[1] + '"]').forEach(function (i) { i.checked = t[pair[0]].indexOf(i.value) >= 0; });
    });
    composerChanged();
  }

  function resetComposer() {
    $('#compose-form').reset();
    compose.key = newKey();
    closePreview();
    say($('#compose-error'), '');
    composerChanged();
  }

  function previewAlert(event) {
    event.preventDefault();
    say($('#compose-error'), '');
    var request = buildRequest();
    var button = $('#preview-button');
    button.disabled = true;
    api('POST', '/api/preview', request).then(function (result) {
      button.disabled = false;
      if (!result.ok) {
        closePreview();
        say($('#compose-error'), result.error);
        return;
      }
      compose.previewed = request;
      renderPreview(request, result.data || {});
    });
  }

  // Which targeted computers are likely to show the alert now. Built here
  // rather than in the page so that the live confirmation can repeat it.
  function coverageNode(id, before) {
    var node = $('#' + id);
    if (!node) {
      node = el('div', {id: id});
      before.parentNode.insertBefore(node, before);
    }
    return clear(node);
  }

  function renderCoverage(state, coverage, live) {
    var box = coverageNode('preview-coverage', $('#preview-recipients'));
    var repeat = coverageNode('live-confirm-coverage', $('#live-confirm-input').previousElementSibling);
    box.className = repeat.className = '';
    if (!coverage || !coverage.computers) return;
    var silent = Array.isArray(coverage.silent) ? coverage.silent : [];
    var line = coverage.seen_recently + ' of ' + plural(coverage.computers, 'receiving computer') +
      ' checked in within the last ' + coverage.window_seconds + ' s' +
      (silent.length ? '; ' + silent.length + ' silent, which will show it only when they next check in.' : '.');
    box.className = 'coverage ' + (silent.length ? 'tone-warn' : 'tone-ok');
    box.appendChild(el('p', {text: line}));
    if (silent.length) {
      var byDepartment = {};
      silent.forEach(function (c) {
        var d = c.department === null || c.department === undefined ? '' : c.department;
        (byDepartment[d] = byDepartment[d] || []).push(c);
      });
      var details = el('details', {}, el('summary', {text: 'Silent computers by department'}));
      Object.keys(byDepartment).forEach(function (d) {
        details.appendChild(el('h3', {text: d ? departmentLabel(state, d) : 'No department'}));
        details.appendChild(el('ul', {}, byDepartment[d].map(function (c) {
          var seen = c.last_seen ? 'last seen ' + new Date(c.last_seen * 1000).toLocaleString() : 'never seen';
          return el('li', {text: c.name + ' (' + c.id + ', ' + siteLabel(state, c.site) + ') — ' + seen});
        })));
      });
      box.appendChild(details);
    }
    if (live) {
      repeat.className = 'coverage ' + (silent.length ? 'tone-warn' : 'tone-ok');
      repeat.appendChild(el('p', {text: line}));
    }
  }

  function renderPreview(request, data) {
    var state = H.state || {};
    var live = request.test === false;
    var kind = $('#preview-kind');
    kind.className = 'preview-kind ' + (live ? 'kind-live' : 'kind-exercise');
    kind.textContent = live ? '▲ LIVE INCIDENT — real recipients will be alerted' : '● EXERCISE — recipients see it marked as an exercise';
    var facts = clear($('#preview-facts'));
    var add = function (term, value) { facts.appendChild(el('dt', {text: term})); facts.appendChild(el('dd', {text: value})); };
    add('Title', request.title.trim());
    add('Message', request.body.trim());
    add('Severity', request.severity === 'ticker' ? 'Ticker' : 'Critical');
    add('Expires after', plural(request.ttl_minutes, 'minute'));
    add('Sites', request.sites.map(function (s) { return siteLabel(state, s); }).join(', '));
    add('Departments', request.departments.length ? request.departments.map(function (d) { return departmentLabel(state, d); }).join(', ') : 'All');
    if (request.groups.length) add('Groups', request.groups.map(function (g) { return groupName(state, g); }).join(', '));
    if (live) add('Incident reference', request.incident_reference);
    if (request.escalation) {
      var e = request.escalation;
      add('Escalation', 'After ' + plural(e.after_minutes, 'minute') + ', unless ' + e.min_acknowledged_percent +
        '% of computers acknowledged: ' + e.channels.map(channelLabel).join(' and ') + ' to ' +
        e.groups.map(function (g) { return groupName(state, g); }).join(', '));
    }

    var deliveries = Array.isArray(data.deliveries) ? data.deliveries : [];
    var perChannel = {};
    deliveries.forEach(function (d) { var c = d[1]; perChannel[c] = (perChannel[c] || 0) + 1; });
    var counts = clear($('#preview-counts'));
    counts.appendChild(el('span', {class: 'chip tone-strong', text: plural(deliveries.length, 'delivery', 'deliveries') + ' in total'}));
    Object.keys(perChannel).forEach(function (c) {
      counts.appendChild(el('span', {class: 'chip', text: channelLabel(c) + ': ' + perChannel[c]}));
    });
    var list = clear($('#preview-recipient-list'));
    list.appendChild(renderTable(deliveries.map(function (d) {
      return {recipient: recipientName(state, d[0]), id: d[0], channel: channelLabel(d[1])};
    }), {columns: ['recipient', 'id', 'channel'], labels: {id: 'Identifier'}, label: 'Recipients of this alert'}));
    $('#preview-recipients summary').textContent = 'Recipients (' + deliveries.length + ')';

    renderCoverage(state, data.coverage, live);

    var wa = clear($('#preview-whatsapp'));
    var previews = Array.isArray(data.whatsapp_previews) ? data.whatsapp_previews : [];
    if (previews.length) {
      wa.appendChild(el('h3', {text: 'WhatsApp message as it will be sent'}));
      previews.forEach(function (p) {
        var rest = {};
        Object.keys(p).forEach(function (k) { if (k !== 'account' && k !== 'text') rest[k] = p[k]; });
        wa.appendChild(el('div', {class: 'wa-preview'},
          el('p', {class: 'muted', text: 'Provider account: ' + (p.account === null || p.account === undefined ? 'default' : p.account)}),
          typeof p.text === 'string' ? el('pre', {class: 'wa-text', text: p.text}) : null,
          renderValue(rest)));
      });
    }

    show($('#live-confirm'), live);
    $('#live-confirm-input').value = '';
    $('#send-button').textContent = live ? 'Send live incident' : 'Send exercise';
    $('#send-button').classList.toggle('danger', live);
    updateSendButton();
    say($('#send-error'), '');
    show($('#preview-panel'), true);
    // Bring the whole check into view, not just its last line.
    $('#preview-heading').scrollIntoView({block: 'start'});
    $('#preview-heading').focus({preventScroll: true});
  }

  function updateSendButton() {
    var live = compose.previewed && compose.previewed.test === false;
    $('#send-button').disabled = !compose.previewed || (live && $('#live-confirm-input').value !== LIVE_CONFIRMATION);
  }

  function sendAlert() {
    if (!compose.previewed) return;
    var request = JSON.parse(JSON.stringify(compose.previewed));
    if (request.test === false) request.live_confirmation = $('#live-confirm-input').value;
    var button = $('#send-button');
    button.disabled = true;
    say($('#send-error'), '');
    api('POST', '/api/alerts', request, {idempotencyKey: compose.key}).then(function (result) {
      if (!result.ok) {
        // The same key goes with the retry, so an alert that did reach the
        // service before the reply was lost is never raised twice.
        updateSendButton();
        say($('#send-error'), result.error + (result.unreachable ? ' Pressing send again is safe: the alert cannot be raised twice.' : ''));
        return;
      }
      var id = result.data && result.data.id;
      var what = request.test === false ? 'Live incident' : 'Exercise';
      resetComposer();
      watch.highlight = id;
      flash($('#alerts-flash'), what + ' sent: ' + request.title.trim() + '.');
      refreshState();
      if (H.menu) H.menu.go('alerts');
    });
  }

  function flash(node, message) {
    node.textContent = message;
    node.hidden = false;
  }

  function setUpComposer() {
    var form = $('#compose-form');
    form.addEventListener('input', composerChanged);
    form.addEventListener('change', composerChanged);
    form.addEventListener('submit', previewAlert);
    $('#compose-reset').addEventListener('click', resetComposer);
    $('#compose-template').addEventListener('change', function (e) { if (e.target.value !== '') applyTemplate(parseInt(e.target.value, 10)); });
    $all('[data-select-all]').forEach(function (b) {
      b.addEventListener('click', function () {
        $all('input[name="' + b.dataset.selectAll + '"]').forEach(function (i) { i.checked = true; });
        composerChanged();
      });
    });
    $('#live-confirm-input').addEventListener('input', updateSendButton);
    $('#send-button').addEventListener('click', sendAlert);
    $('#preview-back').addEventListener('click', function () { closePreview(); $('#compose-title').focus(); });
    composerChanged();
  }

  // ---------------------------------------------------------------- watch alerts

  var watch = {
    cards: new Map(),   // alert id -> card parts; kept across polls so panels stay open
    highlight: null
  };

  function alertKind(a) {
    if (a.conclusion_of) return {cls: 'kind-standdown', label: 'STAND-DOWN', symbol: '▼'};
    if (a.is_test === 0 || a.is_test === false) return {cls: 'kind-live', label: 'LIVE INCIDENT', symbol: '▲'};
    return {cls: 'kind-exercise', label: 'EXERCISE', symbol: '●'};
  }

  // One state per alert: a concluded incident is stored as cancelled, but
  // "Concluded" is the whole truth about it.
  function alertState(a) {
    if (a.conclusion_alert_id) return {cls: 'concluded', label: 'Concluded'};
    if (a.lifecycle === 'cancelled') return {cls: 'cancelled', label: 'Cancelled'};
    if (a.lifecycle === 'expired') return {cls: 'expired', label: 'Expired'};
    return {cls: 'active', label: 'Active'};
  }

  // What happens to the alert next, or what ended it; never a countdown for
  // an alert that is no longer shown.
  function endingText(a) {
    var st = alertState(a).cls;
    if (st === 'concluded') return ['stood down'];
    if (st === 'cancelled') return ['cancelled, no longer shown on screens'];
    if (st === 'expired') return ['expired ', timeElement(a.expires, true)];
    return ['expires ', timeElement(a.expires, true)];
  }

  function alertMatches(a, filter) {
    if (filter === 'active') return a.lifecycle === 'active';
    if (filter === 'live') return a.is_test === 0 || a.is_test === false;
    if (filter === 'exercise') return !(a.is_test === 0 || a.is_test === false);
    return true;
  }

  function statusCounts(deliveries) {
    var counts = {};
    deliveries.forEach(function (d) { counts[d.display_status] = (counts[d.display_status] || 0) + 1; });
    return counts;
  }

  function orderedStatuses(counts) {
    var keys = Object.keys(counts);
    return STATUS_ORDER.filter(function (s) { return counts[s]; }).concat(keys.filter(function (k) { return STATUS_ORDER.indexOf(k) < 0; }));
  }

  // "Escalates at 10:42 if fewer than 80% acknowledge", then what happened.
  function escalationLine(state, e) {
    if (!e || typeof e.at !== 'number') return null;
    var to = (e.channels || []).map(channelLabel).join(' and ') + ' to ' +
      (e.groups || []).map(function (g) { return groupName(state, g); }).join(', ');
    var outcome = {
      pending: ['Escalates ', timeElement(e.at), ' by ' + to + ' if fewer than ' + e.min_acknowledged_percent + '% acknowledge.'],
      sent: ['Escalated ', timeElement(e.at), ' by ' + to + ': fewer than ' + e.min_acknowledged_percent + '% had acknowledged.'],
      not_needed: ['No escalation needed ', timeElement(e.at), ': at least ' + e.min_acknowledged_percent + '% had acknowledged.'],
      cancelled: ['Escalation by ' + to + ' withdrawn with the alert.'],
      expired: ['Escalation by ' + to + ' not sent: the alert had expired.']
    }[e.state] || ['Escalation: ' + e.state];
    return el('p', {class: 'alert-meta escalation escalation-' + e.state}, outcome);
  }

  function renderAlertInfo(state, a, now) {
    var kind = alertKind(a);
    var deliveries = Array.isArray(a.deliveries) ? a.deliveries : [];
    var heading = a.conclusion_of ? 'Stand-down: ' + (a.incident_title || a.title) : a.title;
    var badges = el('ul', {class: 'badges', 'aria-label': 'Alert state'},
      el('li', {class: 'badge ' + kind.cls}, el('span', {'aria-hidden': 'true', text: kind.symbol + ' '}), kind.label),
      el('li', {class: 'badge badge-state state-' + alertState(a).cls, text: alertState(a).label}),
      el('li', {class: 'badge', text: a.severity === 'ticker' ? 'Ticker' : a.severity === 'critical' ? 'Critical' : a.severity}));

    var channels = parseJsonText(a.channels, []);
    var targets = parseJsonText(a.targets, {});
    var meta = el('p', {class: 'alert-meta'},
      'Raised ', timeElement(a.created), ' by ', recipientName(state, a.author) || a.author,
      ' · ', endingText(a));
    var where = [];
    if (Array.isArray(channels) && channels.length) where.push('Channels: ' + channels.filter(function (c, i) { return channels.indexOf(c) === i; }).map(channelLabel).join(', '));
    if (targets && Array.isArray(targets.sites) && targets.sites.length) where.push('Sites: ' + targets.sites.map(function (s) { return siteLabel(state, s); }).join(', '));
    if (targets && Array.isArray(targets.departments) && targets.departments.length) where.push('Departments: ' + targets.departments.map(function (d) { return departmentLabel(state, d); }).join(', '));
    if (targets && Array.isArray(targets.groups) && targets.groups.length) where.push('Groups: ' + targets.groups.map(function (g) { return groupName(state, g); }).join(', '));

    var counts = statusCounts(deliveries);
    var acknowledged = counts.acknowledged || 0;
    var summary = el('div', {class: 'delivery-summary'},
      el('p', {class: 'ack-line'}, el('strong', {text: acknowledged + ' of ' + deliveries.length}), ' acknowledged'),
      el('progress', {max: String(Math.max(deliveries.length, 1)), value: String(acknowledged), 'aria-label': 'Acknowledged ' + acknowledged + ' of ' + deliveries.length}),
      el('div', {class: 'chip-row'}, orderedStatuses(counts).map(function (s) { return statusChip(s, counts[s]); })));

    var linked = null;
    if (a.conclusion_alert_id) linked = el('p', {class: 'linked', text: 'Stood down; the stand-down went to everyone this incident reached.'});
    if (a.conclusion_of) linked = el('p', {class: 'linked', text: 'Stand-down of the live incident "' + (a.incident_title || a.title) + '".'});

    return el('div', {class: 'alert-info'},
      el('div', {class: 'alert-title-row'}, el('h2', {class: 'alert-title', text: heading}), badges),
      meta,
      where.length ? el('p', {class: 'alert-meta', text: where.join(' · ')}) : null,
      escalationLine(state, a.escalation),
      linked,
      el('p', {class: 'alert-body', text: a.body}),
      summary);
  }

  function renderDeliveries(state, a) {
    var deliveries = Array.isArray(a.deliveries) ? a.deliveries : [];
    if (!deliveries.length) return el('p', {class: 'muted', text: 'This alert has no deliveries.'});
    var mobile = deliveries.some(function (d) { return d.queue || d.whatsapp_preview; });
    var table = el('table', {class: 'data-table deliveries'});
    var head = ['Recipient', 'Channel', 'Status', 'Received', 'Displayed', 'Acknowledged'];
    if (mobile) head.push('Mobile queue', 'WhatsApp message');
    table.appendChild(el('thead', null, el('tr', null, head.map(function (h) { return el('th', {scope: 'col', text: h}); }))));
    var body = el('tbody');
    deliveries.forEach(function (d) {
      var row = el('tr', null,
        el('th', {scope: 'row'}, recipientName(state, d.recipient_id), el('span', {class: 'muted id-note', text: ' ' + d.recipient_id})),
        el('td', {text: channelLabel(d.channel)}),
        el('td', null, statusChip(d.display_status)),
        el('td', null, typeof d.received === 'number' ? timeElement(d.received) : '—'),
        el('td', null, typeof d.displayed === 'number' ? timeElement(d.displayed) : '—'),
        el('td', null, typeof d.acknowledged === 'number' ? timeElement(d.acknowledged) : '—'));
      if (mobile) {
        var q = d.queue;
        var queueText = q ? [q.state, typeof q.attempts === 'number' ? plural(q.attempts, 'attempt') : '', q.reason || ''].filter(Boolean).join(' · ') : '—';
        row.appendChild(el('td', {text: queueText}));
        var preview = d.whatsapp_preview;
        row.appendChild(el('td', null, preview ? (typeof preview.text === 'string' ? el('pre', {class: 'wa-text', text: preview.text}) : renderCell(preview)) : '—'));
      }
      body.appendChild(row);
    });
    table.appendChild(body);
    return scrollable(table, 'Deliveries of ' + a.title);
  }

  function makeCard(a) {
    var card = {alert: a, sig: ''};
    card.root = el('article', {class: 'alert-card', 'data-alert-id': a.id});
    card.info = el('div');
    card.detailsSummary = el('summary');
    card.detailsBody = el('div', {class: 'details-body'});
    card.details = el('details', {class: 'deliveries-panel'}, card.detailsSummary, card.detailsBody);
    card.actions = el('div', {class: 'alert-actions'});
    card.message = el('p', {class: 'error-box', role: 'alert', hidden: true});
    card.done = el('p', {class: 'flash', role: 'status', hidden: true});

    card.cancelButton = el('button', {type: 'button', text: 'Cancel alert…'});
    card.cancelBox = el('div', {class: 'confirm-box', hidden: true},
      el('p', {text: 'Cancel this alert? Receiving computers stop showing it and unsent mobile copies are not sent.'}),
      el('button', {type: 'button', class: 'danger', text: 'Yes, cancel the alert', on: {click: function () { doCancel(card); }}}),
      el('button', {type: 'button', text: 'No, keep it', on: {click: function () { show(card.cancelBox, false); card.cancelButton.focus(); }}}));
    card.cancelButton.addEventListener('click', function () {
      show(card.cancelBox, true);
      $('button', card.cancelBox).focus();
    });

    var inputId = 'conclude-' + a.id;
    card.concludeButton = el('button', {type: 'button', text: 'Conclude incident…'});
    card.concludeInput = el('input', {type: 'text', id: inputId, autocomplete: 'off', spellcheck: 'false', autocapitalize: 'characters'});
    card.concludeSend = el('button', {type: 'button', class: 'danger', text: 'Send stand-down', disabled: true});
    card.concludeBox = el('div', {class: 'confirm-box', hidden: true},
      el('p', {text: 'The stand-down goes to every recipient and channel this incident reached, and the incident is withdrawn from screens.'}),
      el('label', {for: inputId}, 'Type ', el('strong', {text: CONCLUDE_CONFIRMATION}), ' to confirm'),
      card.concludeInput,
      el('div', {class: 'button-row'}, card.concludeSend,
        el('button', {type: 'button', text: 'Not now', on: {click: function () { show(card.concludeBox, false); card.concludeButton.focus(); }}})));
    card.concludeButton.addEventListener('click', function () {
      show(card.concludeBox, true);
      card.concludeInput.focus();
    });
    card.concludeInput.addEventListener('input', function () {
      card.concludeSend.disabled = card.concludeInput.value !== CONCLUDE_CONFIRMATION;
    });
    card.concludeSend.addEventListener('click', function () { doConclude(card); });

    card.actions.appendChild(el('div', {class: 'button-row'}, card.cancelButton, card.concludeButton));
    card.actions.appendChild(card.cancelBox);
    card.actions.appendChild(card.concludeBox);
    card.actions.appendChild(card.message);
    card.actions.appendChild(card.done);
    card.root.appendChild(card.info);
    card.root.appendChild(card.details);
    card.root.appendChild(card.actions);
    card.reportButton = el('button', {type: 'button', class: 'button-small', text: 'Drill report',
      on: {click: function () { openDrillReport(card); }}});
    card.report = el('section', {class: 'drill-report', 'aria-label': 'Drill report', hidden: true});
    card.root.appendChild(el('div', {class: 'button-row'}, card.reportButton));
    card.root.appendChild(card.report);
    return card;
  }

  // ---------------------------------------------------------------- scheduled drills

  var DAY_NAMES = {mon: 'Monday', tue: 'Tuesday', wed: 'Wednesday', thu: 'Thursday', fri: 'Friday', sat: 'Saturday', sun: 'Sunday'};
  var WEEK_NAMES = {1: 'first', 2: 'second', 3: 'third', 4: 'fourth'};

  function drillRule() {
    var repeat = $('#drill-repeat').value;
    var rule = {repeat: repeat, time: $('#drill-time').value};
    if (repeat === 'once') rule.date = $('#drill-date').value;
    if (repeat === 'weekly') rule.days = checkedValues('drill-day');
    if (repeat === 'monthly') { rule.week = parseInt($('#drill-week').value, 10); rule.day = $('#drill-weekday').value; }
    return rule;
  }

  function ruleText(rule) {
    var at = ' at ' + rule.time;
    if (rule.repeat === 'once') return 'Once, ' + rule.date + at;
    if (rule.repeat === 'daily') return 'Every day' + at;
    if (rule.repeat === 'weekly') return 'Every ' + (rule.days || []).map(function (d) { return DAY_NAMES[d] || d; }).join(', ') + at;
    if (rule.repeat === 'monthly') return 'The ' + WEEK_NAMES[rule.week] + ' ' + (DAY_NAMES[rule.day] || rule.day) + ' of every month' + at;
    return JSON.stringify(rule);
  }

  var RUN_OUTCOMES = {raised: 'Sent', missed: 'Missed (service not running)', refused: 'Not sent'};

  function renderDrills(data) {
    var box = clear($('#drill-list'));
    var schedules = (data && data.schedules) || [];
    var runs = (data && data.runs) || [];
    var titles = {};
    schedules.forEach(function (d) { titles[d.id] = d.title; });
    box.appendChild(el('h3', {text: 'Schedules'}));
    if (!schedules.length) box.appendChild(el('p', {class: 'muted', text: 'No drills are scheduled.'}));
    else box.appendChild(el('ul', {class: 'drill-schedules'}, schedules.map(function (d) {
      var active = d.state === 'active';
      return el('li', {},
        el('strong', {text: d.title}), ' — ' + ruleText(d.rule) + ' — ',
        active ? ['next ', timeElement(d.next_at, true)] : (d.state === 'done' ? 'done' : 'cancelled'),
        ' · scheduled by ' + (recipientName(H.state || {}, d.author) || d.author) + ' ',
        active ? el('button', {type: 'button', class: 'button-small', text: 'Cancel schedule',
          on: {click: function () { cancelDrill(d.id); }}}) : null);
    })));
    box.appendChild(el('h3', {text: 'Past runs'}));
    if (!runs.length) box.appendChild(el('p', {class: 'muted', text: 'None yet.'}));
    else box.appendChild(el('ul', {}, runs.map(function (r) {
      return el('li', {}, timeElement(r.due), ' — ' + (titles[r.schedule_id] || r.schedule_id) + ': ' +
        (RUN_OUTCOMES[r.outcome] || r.outcome) + (r.detail ? ' (' + r.detail + ')' : ''));
    })));
  }

  function loadDrills() {
    return api('GET', '/api/drills').then(function (result) {
      if (result.ok) renderDrills(result.data);
      else say($('#drill-error'), result.error);
    });
  }

  function cancelDrill(id) {
    api('POST', '/api/drills', {action: 'cancel', id: id}).then(function (result) {
      if (!result.ok) { say($('#drill-error'), result.error); return; }
      say($('#drill-error'), '');
      renderDrills(result.data);
    });
  }

  function setUpDrills() {
    var repeatChanged = function () {
      var repeat = $('#drill-repeat').value;
      show($('#drill-date-field'), repeat === 'once');
      show($('#drill-days'), repeat === 'weekly');
      show($('#drill-monthly'), repeat === 'monthly');
    };
    var today = new Date();
    var two = function (n) { return (n < 10 ? '0' : '') + n; };
    $('#drill-date').value = today.getFullYear() + '-' + two(today.getMonth() + 1) + '-' + two(today.getDate());
    $('#drill-repeat').addEventListener('change', repeatChanged);
    repeatChanged();
    $('#drill-form').addEventListener('submit', function (event) {
      event.preventDefault();
      say($('#drill-error'), '');
      var request = buildRequest();
      if (request.test !== true) { say($('#drill-error'), 'Choose Exercise above: only exercises can be scheduled.'); return; }
      api('POST', '/api/drills', {action: 'schedule', request: request, rule: drillRule()}).then(function (result) {
        if (!result.ok) { say($('#drill-error'), result.error); return; }
        loadDrills();
      });
    });
    H.views.register('raise', {show: loadDrills});
  }

  // ---------------------------------------------------------------- drill report

  function seconds(value) {
    if (typeof value !== 'number') return '—';
    return value < 90 ? value.toFixed(1) + ' s' : Math.floor(value / 60) + ' min ' + Math.round(value % 60) + ' s';
  }

  function openDrillReport(card) {
    var box = card.report;
    api('POST', '/api/drill-report', {id: card.alert.id}).then(function (result) {
      clear(box);
      show(box, true);
      if (!result.ok) { box.appendChild(el('p', {class: 'error-box', role: 'alert', text: result.error})); return; }
      renderDrillReport(H.state || {}, box, result.data, card.alert.id);
      box.scrollIntoView({block: 'start'});
    });
  }

  function renderDrillReport(state, box, r, id) {
    var a = r.alert || {};
    var list = function (items, text) {
      return items.length ? el('ul', {}, items.map(function (i) { return el('li', {text: text(i)}); })) : el('p', {class: 'muted', text: 'None.'});
    };
    var totals = (r.reach && r.reach.totals) || {};
    var reached = Object.keys(totals).filter(function (k) { return k !== 'total' && totals[k]; })
      .map(function (k) { return humanKey(k) + ': ' + totals[k]; }).join(' · ');
    var timing = r.timing || {};
    var row = function (label, f) {
      f = f || {};
      return el('tr', {}, el('th', {scope: 'row', text: label}), el('td', {text: String(f.count || 0)}),
        el('td', {text: seconds(f.median_seconds)}), el('td', {text: seconds(f.p90_seconds)}), el('td', {text: seconds(f.slowest_seconds)}));
    };
    var chain = r.audit_chain || {};
    box.appendChild(el('h2', {text: 'Drill report: ' + a.title}));
    box.appendChild(el('p', {class: 'alert-meta'}, 'Exercise raised ', timeElement(a.created), ' · report made ', timeElement(r.generated_at)));
    box.appendChild(el('h3', {text: 'Reach'}));
    box.appendChild(el('p', {text: (totals.total || 0) + ' deliveries. ' + reached}));
    ['by_site', 'by_department'].forEach(function (key) {
      var entries = (r.reach && r.reach[key]) || [];
      box.appendChild(list(entries, function (e) {
        var c = e.counts || {};
        return e.label + ': ' + (c.total || 0) + ' deliveries, ' + ((c.acknowledged || 0)) + ' acknowledged';
      }));
    });
    box.appendChild(el('h3', {text: 'Time on receiving computers'}));
    box.appendChild(el('table', {class: 'data-table'},
      el('thead', {}, el('tr', {}, ['', 'Computers', 'Median', '90th percentile', 'Slowest'].map(function (h) { return el('th', {scope: 'col', text: h}); }))),
      el('tbody', {}, row('To display', timing.to_display), row('To acknowledge', timing.to_acknowledge))));
    box.appendChild(el('h3', {text: 'Silent computers'}));
    box.appendChild(list(r.silent_computers || [], function (c) { return c.name + ' (' + c.id + ')'; }));
    box.appendChild(el('h3', {text: 'Not acknowledged'}));
    box.appendChild(list(r.not_acknowledged || [], function (n) { return n.name + ' (' + channelLabel(n.channel) + ')'; }));
    box.appendChild(el('h3', {text: 'SMS and WhatsApp that failed'}));
    box.appendChild(list(r.mobile_jobs_failed || [], function (j) { return j.name + ' (' + channelLabel(j.channel) + '): ' + (j.reason || 'failed'); }));
    box.appendChild(el('h3', {text: 'Audit trail'}));
    box.appendChild(el('p', {class: chain.intact ? 'tone-ok' : 'tone-bad',
      text: chain.intact ? 'Intact: all ' + chain.rows + ' entries verify.' : 'BROKEN at entry ' + chain.first_broken_seq + ': ' + chain.reason}));
    box.appendChild(el('div', {class: 'button-row no-print'},
      el('button', {type: 'button', text: 'Print', on: {click: function () { printOnly(box); }}}),
      el('button', {type: 'button', text: 'Download CSV', on: {click: function () {
        api('POST', '/api/drill-report', {id: id, format: 'csv'}, {download: true}).then(function (result) {
          if (result.ok) saveFile(result.blob, result.filename);
        });
      }}}),
      el('button', {type: 'button', text: 'Close', on: {click: function () { show(box, false); }}})));
  }

  // Prints `node` alone: the rest of the page is hidden for the printout.
  function printOnly(node) {
    document.body.classList.add('printing-one');
    node.classList.add('print-target');
    window.addEventListener('afterprint', function done() {
      window.removeEventListener('afterprint', done);
      document.body.classList.remove('printing-one');
      node.classList.remove('print-target');
    });
    window.print();
  }

  function doCancel(card) {
    say(card.message, '');
    api('POST', '/api/cancel', {id: card.alert.id}).then(function (result) {
      if (!result.ok) { say(card.message, result.error); return; }
      show(card.cancelBox, false);
      say(card.done, 'Alert cancelled.');
      refreshState();
    });
  }

  function doConclude(card) {
    say(card.message, '');
    card.concludeSend.disabled = true;
    api('POST', '/api/conclude', {id: card.alert.id, confirmation: card.concludeInput.value}).then(function (result) {
      if (!result.ok) {
        card.concludeSend.disabled = card.concludeInput.value !== CONCLUDE_CONFIRMATION;
        say(card.message, result.error);
        return;
      }
      show(card.concludeBox, false);
      card.concludeInput.value = '';
      say(card.done, 'Stand-down sent to everyone this incident reached.');
      if (result.data && result.data.id) watch.highlight = result.data.id;
      refreshState();
    });
  }

  function updateCard(state, card, a, minute) {
    card.alert = a;
    var kind = alertKind(a);
    card.root.className = 'alert-card ' + kind.cls + ' lifecycle-' + a.lifecycle + (watch.highlight === a.id ? ' is-new' : '');
    // Parts are rebuilt only when what they show changed, so focus, open
    // panels and sideways scroll inside a card survive the polls.
    var names = state.recipient_names ? JSON.stringify(state.recipient_names) : '';
    var sig = JSON.stringify(a) + minute + names;
    if (sig !== card.sig) {
      card.sig = sig;
      var info = renderAlertInfo(state, a);
      card.root.replaceChild(info, card.info);
      card.info = info;
    }
    var deliveries = Array.isArray(a.deliveries) ? a.deliveries : [];
    var deliverySig = JSON.stringify(deliveries) + names;
    if (deliverySig !== card.deliverySig) {
      card.deliverySig = deliverySig;
      card.detailsSummary.textContent = 'Deliveries and recipients (' + deliveries.length + ')';
      clear(card.detailsBody).appendChild(renderDeliveries(state, a));
    }
    var operator = state.role === 'operator';
    var live = a.is_test === 0 || a.is_test === false;
    var canCancel = operator && !a.cancelled && a.lifecycle !== 'cancelled';
    var canConclude = operator && live && !a.conclusion_of && !a.conclusion_alert_id;
    show(card.cancelButton, canCancel);
    if (!canCancel) show(card.cancelBox, false);
    show(card.concludeButton, canConclude);
    if (!canConclude) show(card.concludeBox, false);
    show(card.actions, operator);
    show(card.reportButton.parentNode, (a.is_test === 1 || a.is_test === true) && !a.conclusion_of);
  }

  function renderAlerts(state) {
    var list = $('#alert-list');
    var filter = $('#alert-filter').value;
    var alerts = (state.alerts || []).filter(function (a) { return alertMatches(a, filter); });
    var minute = Math.floor(Date.now() / 30000);
    var keep = new Set();
    var cursor = list.firstChild;
    alerts.forEach(function (a) {
      var card = watch.cards.get(a.id);
      if (!card) { card = makeCard(a); watch.cards.set(a.id, card); }
      keep.add(a.id);
      updateCard(state, card, a, minute);
      if (card.root !== cursor) list.insertBefore(card.root, cursor);
      else cursor = cursor.nextSibling;
    });
    watch.cards.forEach(function (card, id) {
      if (!keep.has(id)) {
        if (card.root.parentNode) card.root.parentNode.removeChild(card.root);
        if (!(state.alerts || []).some(function (a) { return a.id === id; })) watch.cards.delete(id);
      }
    });
    var empty = $('#alerts-empty');
    empty.textContent = (state.alerts || []).length ? 'No alerts match this filter.' : 'No alerts yet.';
    show(empty, alerts.length === 0);
  }

  // ---------------------------------------------------------------- getting started

  // A fresh installation has no sites, no computers and no history; the
  // administrator sees what to do first rather than an empty page under a
  // red banner. Each step counts as done from what the service reports,
  // except trusting the certificate authority on the dashboard PCs, which
  // happens outside the service and is confirmed here, in this browser.
  var CA_TRUSTED_KEY = 'halvenor.getting-started.ca-trusted';

  function caTrusted() { try { return localStorage.getItem(CA_TRUSTED_KEY) === 'yes'; } catch (e) { return false; } }

  function gettingStartedSteps(state) {
    var devices = state.devices || [];
    return [
      {done: (state.sites || []).length > 0, title: 'Add your sites and departments',
        text: 'Sites are the hospitals or buildings alerts are addressed to; departments narrow them down. The built-in departments are ready to use.',
        link: '#access', linkText: 'Open Users & access'},
      {done: devices.some(function (d) { return typeof d.last_seen === 'number'; }), title: 'Enrol the receiving computers',
        text: 'Add each computer that shows alerts, install its agent and check that it reports in.',
        link: '#setup', linkText: 'Open Deployment & certificates'},
      {done: (state.alerts || []).some(function (a) { return !(a.is_test === 0 || a.is_test === false); }), title: 'Send a first exercise',
        text: 'An exercise to one site shows that alerts reach the screens and that receipts come back.',
        link: '#raise', linkText: 'Raise an exercise'},
      {done: caTrusted(), title: 'Trust the certificate authority on the dashboard PCs', manual: true,
        text: 'Have IT install this installation\'s certificate authority on every PC that opens this dashboard, so browsers connect without warnings.',
        link: '#setup', linkText: 'Download the CA certificate'}
    ];
  }

  function renderGettingStarted(state) {
    var box = $('#getting-started');
    var steps = gettingStartedSteps(state);
    var open = state.can_manage_users === true && steps.some(function (step) { return !step.done; });
    var signature = JSON.stringify([open, steps.map(function (step) { return step.done; })]);
    if (box.dataset.signature === signature) return;
    box.dataset.signature = signature;
    show(box, open);
    var list = clear($('#getting-started-steps'));
    if (!open) return;
    steps.forEach(function (step, i) {
      var status = step.done
        ? el('span', {class: 'chip tone-ok'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '✓'}), 'Done')
        : el('span', {class: 'chip tone-wait'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '…'}), 'To do');
      var confirm = step.manual && !step.done ? el('button', {type: 'button', class: 'button-small', text: 'Mark as done', on: {click: function () {
        try { localStorage.setItem(CA_TRUSTED_KEY, 'yes'); } catch (e) { /* storage unavailable: asked again next time */ }
        renderGettingStarted(H.state);
      }}}) : null;
      list.appendChild(el('li', {class: step.done ? 'step-done' : 'step-open'},
        el('div', {class: 'step-head'}, el('strong', {text: step.title}), status),
        el('p', {class: 'hint', text: step.text}),
        step.done ? null : el('p', {class: 'step-actions'}, el('a', {href: step.link, text: step.linkText}), confirm ? ' ' : null, confirm)));
    });
  }

  // ---------------------------------------------------------------- receiving computers

  function renderComputers(state) {
    var devices = Array.isArray(state.devices) ? state.devices : [];
    var now = nowSeconds();
    var inContact = 0;
    var table = el('table', {class: 'data-table computers'});
    table.appendChild(el('thead', null, el('tr', null,
      ['Computer', 'Sites', 'Departments', 'Last contact', 'Contact', 'Enabled'].map(function (h) { return el('th', {scope: 'col', text: h}); }))));
    var body = el('tbody');
    devices.forEach(function (d) {
      var seen = typeof d.last_seen === 'number' ? d.last_seen : null;
      var stale = seen === null || now - seen > STALE_AFTER_SECONDS;
      if (!stale) inContact++;
      var contact = seen === null
        ? el('span', {class: 'chip tone-bad'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '✗'}), 'Never polled')
        : stale ? el('span', {class: 'chip tone-warn'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '!'}), 'Stale')
          : el('span', {class: 'chip tone-ok'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '✓'}), 'In contact');
      var enabled = d.enabled !== false;
      body.appendChild(el('tr', {class: stale ? 'row-stale' : ''},
        el('th', {scope: 'row'}, recipientName(state, d.id), el('span', {class: 'muted id-note', text: ' ' + (d.computer_id || d.id)})),
        el('td', {text: (d.sites || []).map(function (s) { return siteLabel(state, s); }).join(', ')}),
        el('td', {text: (d.departments || []).map(function (x) { return departmentLabel(state, x); }).join(', ')}),
        el('td', null, seen === null ? el('span', {class: 'muted', text: 'never'}) : timeElement(seen, true)),
        el('td', null, contact),
        el('td', null, renderCell(enabled))));
    });
    table.appendChild(body);
    var holder = clear($('#computers-table'));
    if (!devices.length) holder.appendChild(el('p', {class: 'empty', text: 'No receiving computers are enrolled.'}));
    else holder.appendChild(scrollable(table, 'Receiving computers'));
    $('#computers-summary').textContent = plural(devices.length, 'computer') + ': ' + inContact + ' in contact in the last ' +
      formatDuration(STALE_AFTER_SECONDS) + ', ' + (devices.length - inContact) + ' stale or never seen.';
  }

  // ---------------------------------------------------------------- boot

  function boot() {
    $('#signin-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var token = $('#signin-token').value.trim();
      if (!token) { say($('#signin-error'), 'Paste your access token first.'); return; }
      say($('#signin-error'), '');
      signIn(token).then(function (result) {
        if (!result.ok) say($('#signin-error'), result.error);
      });
    });
    $('#sign-out').addEventListener('click', signOut);
    trackBannerHeight();
    $('#alert-filter').addEventListener('change', function () { if (H.state) renderAlerts(H.state); });
    setUpComposer();
    setUpDrills();
    H.views.register('alerts', {hide: function () {
      show($('#alerts-flash'), false);
      watch.highlight = null;
    }});

    onState(renderBanner);
    onState(function (state) {
      renderGettingStarted(state);
      renderAlerts(state);
      renderComputers(state);
      if (state.role === 'operator') {
        renderComposerVocabulary(state);
        renderComposerPermissions(state);
      }
    });

    var identity = H.identity && H.identity.resume ? H.identity.resume() : Promise.resolve(null);
    identity.then(function () {
      if (session.token()) {
        signIn(session.token()).then(function (result) {
          if (!result.ok) leaveDashboard(result.status === 401 ? '' : result.error);
        });
      } else {
        $('#signin-token').focus();
      }
    });
  }

  H.$ = $;
  H.$all = $all;
  H.el = el;
  H.clear = clear;
  H.show = show;
  H.say = say;
  H.refuse = refuse;
  H.flash = flash;
  H.api = api;
  H.saveFile = saveFile;
  H.newKey = newKey;
  H.session = session;
  H.signIn = signIn;
  H.onState = onState;
  H.refreshState = refreshState;
  H.renderValue = renderValue;
  H.renderTable = renderTable;
  H.renderCell = renderCell;
  H.renderField = renderField;
  H.countChips = countChips;
  H.scrollable = scrollable;
  H.humanKey = humanKey;
  H.isPlainObject = isPlainObject;
  H.formatTime = formatTime;
  H.relativeTime = relativeTime;
  H.timeElement = timeElement;
  H.plural = plural;
  H.statusChip = statusChip;
  H.statusInfo = statusInfo;
  H.channelLabel = channelLabel;
  H.recipientName = recipientName;
  H.siteLabel = siteLabel;
  H.departmentLabel = departmentLabel;
  H.departmentChoices = departmentChoices;
  H.codePoints = codePoints;
  H.composeKey = function () { return compose.key; };

  document.addEventListener('DOMContentLoaded', boot);
})();
