// Oversight pages for operators and auditors: the decision dashboard for an
// incident commander, the audit trail with its hash chain checked here in the
// browser, and history exports saved as files.
//
// The audit chain is verified independently of the service: each entry's
// hash is recomputed with Web Crypto SHA-256 over the canonical JSON of
// [at, actor, event, detail text, previous] and every entry must name the
// hash of the one before it. The canonical form is reproduced byte for byte:
// no white space, strings with every character outside printable ASCII
// escaped (\b \f \n \r \t, else \u with four lower-case hex digits, UTF-16
// halves separately), doubles as the shortest round-trip digits, positional
// with at least one decimal for 1e-4 <= |x| < 1e16 and exponent form with
// at least two exponent digits outside.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var HASH_BATCH = 256;
  var SHORT_HASH = 12;

  function $(id) { return document.getElementById(id); }

  // ---------------------------------------------------------------- canonical JSON

  var SHORT_ESCAPES = {8: '\\b', 9: '\\t', 10: '\\n', 12: '\\f', 13: '\\r', 34: '\\"', 92: '\\\\'};

  function canonicalString(text) {
    var out = '"';
    for (var i = 0; i < text.length; i++) {
      var c = text.charCodeAt(i);
      if (SHORT_ESCAPES[c]) out += SHORT_ESCAPES[c];
      else if (c >= 0x20 && c <= 0x7e) out += text.charAt(i);
      else out += '\\u' + ('000' + c.toString(16)).slice(-4);
    }
    return out + '"';
  }

  function canonicalDouble(x) {
    if (!isFinite(x)) throw new Error('NaN and Infinity have no JSON form');
    if (x === 0) return Object.is(x, -0) ? '-0.0' : '0.0';
    var m = /^(-?)(\d)(?:\.(\d+))?e([+-])(\d+)$/.exec(x.toExponential());
    var sign = m[1];
    var digits = m[2] + (m[3] || '');
    var exponent = parseInt(m[5], 10) * (m[4] === '-' ? -1 : 1);
    if (exponent < -4 || exponent >= 16) {
      return sign + m[2] + (m[3] ? '.' + m[3] : '') + 'e' + m[4] + (m[5].length < 2 ? '0' + m[5] : m[5]);
    }
    if (exponent < 0) return sign + '0.' + '0'.repeat(-exponent - 1) + digits;
    var whole = exponent + 1;
    if (digits.length <= whole) return sign + digits + '0'.repeat(whole - digits.length) + '.0';
    return sign + digits.slice(0, whole) + '.' + digits.slice(whole);
  }

  // Integers are written plainly; pass {double: true} for values the service
  // stores as floating point (the audit time), which always show a decimal.
  function canonical(value, options) {
    if (value === null || value === undefined) return 'null';
    if (value === true) return 'true';
    if (value === false) return 'false';
    if (typeof value === 'number') {
      return (options && options.double) || !Number.isInteger(value) ? canonicalDouble(value) : String(value);
    }
    if (typeof value === 'string') return canonicalString(value);
    if (Array.isArray(value)) return '[' + value.map(function (v) { return canonical(v); }).join(',') + ']';
    var keys = Object.keys(value).sort(function (a, b) { return a < b ? -1 : a > b ? 1 : 0; });
    return '{' + keys.map(function (k) { return canonicalString(k) + ':' + canonical(value[k]); }).join(',') + '}';
  }

  function chainInput(row) {
    return '[' + canonicalDouble(row.at) + ',' + canonical(row.actor) + ',' + canonical(row.event) + ',' +
      canonical(row.detail) + ',' + canonical(row.previous) + ']';
  }

  function sha256Hex(text) {
    return crypto.subtle.digest('SHA-256', new TextEncoder().encode(text)).then(function (buffer) {
      return Array.prototype.map.call(new Uint8Array(buffer), function (b) { return (b + 0x100).toString(16).slice(1); }).join('');
    });
  }

  // Resolves to {intact, rows, broken_seq, reason, last_hash}.
  function verifyChain(rows) {
    if (!window.crypto || !crypto.subtle) {
      return Promise.resolve({intact: null, rows: rows.length, reason: 'This browser cannot compute SHA-256 here (it needs a secure connection).'});
    }
    var hashes = new Array(rows.length);
    var start = 0;
    function nextBatch() {
      if (start >= rows.length) return Promise.resolve();
      var end = Math.min(rows.length, start + HASH_BATCH);
      var batch = [];
      for (var i = start; i < end; i++) {
        batch.push((function (index) {
          var input;
          try { input = chainInput(rows[index]); } catch (e) { hashes[index] = ''; return null; }
          return sha256Hex(input).then(function (h) { hashes[index] = h; });
        })(i));
      }
      start = end;
      return Promise.all(batch).then(nextBatch);
    }
    return nextBatch().then(function () {
      var previous = '';
      for (var i = 0; i < rows.length; i++) {
        var row = rows[i];
        if (row.previous !== previous) {
          return {intact: false, rows: rows.length, broken_seq: row.seq, index: i,
            reason: i === 0 ? 'the first entry does not start the chain' : 'it does not point to the entry before it'};
        }
        if (hashes[i] !== row.hash) {
          return {intact: false, rows: rows.length, broken_seq: row.seq, index: i, reason: 'its content does not match its hash'};
        }
        previous = row.hash;
      }
      return {intact: true, rows: rows.length, last_hash: previous};
    });
  }

  // ---------------------------------------------------------------- audit page

  var audit = {rows: [], verdict: null, page: 0, loading: false};

  function loadAudit() {
    if (audit.loading) return;
    audit.loading = true;
    H.say($('audit-error'), '');
    $('audit-verdict').className = 'verdict';
    $('audit-verdict').textContent = 'Loading the audit trail and checking its chain…';
    H.api('GET', '/api/audit').then(function (result) {
      if (!result.ok || !Array.isArray(result.data)) {
        audit.loading = false;
        $('audit-verdict').textContent = '';
        H.say($('audit-error'), result.ok ? 'The service returned no audit list.' : result.error);
        return;
      }
      audit.rows = result.data;
      return verifyChain(audit.rows).then(function (verdict) {
        audit.loading = false;
        audit.verdict = verdict;
        audit.page = 0;
        renderVerdict();
        renderAuditPage();
      });
    });
  }

  function renderVerdict() {
    var v = audit.verdict;
    var node = $('audit-verdict');
    H.clear(node);
    if (v.intact === true) {
      node.className = 'verdict verdict-ok';
      node.appendChild(H.el('span', {'aria-hidden': 'true', class: 'verdict-symbol', text: '✓'}));
      node.appendChild(H.el('strong', {text: 'Chain verified'}));
      node.appendChild(document.createTextNode(': all ' + H.plural(v.rows, 'entry', 'entries') +
        ' link up and match their hashes, checked in this browser.' + (v.last_hash ? ' Latest hash ' + v.last_hash.slice(0, SHORT_HASH) + '…' : '')));
    } else if (v.intact === false) {
      node.className = 'verdict verdict-bad';
      node.appendChild(H.el('span', {'aria-hidden': 'true', class: 'verdict-symbol', text: '✗'}));
      node.appendChild(H.el('strong', {text: 'Chain broken'}));
      node.appendChild(document.createTextNode(': first broken link at entry ' + v.broken_seq + ', because ' + v.reason +
        '. Entries from there on cannot be trusted. Report this to IT security.'));
    } else {
      node.className = 'verdict verdict-unknown';
      node.appendChild(H.el('strong', {text: 'Chain not checked'}));
      node.appendChild(document.createTextNode(': ' + v.reason));
    }
  }

  function filteredRows() {
    var words = $('audit-filter').value.toLowerCase().split(/\s+/).filter(Boolean);
    var rows = audit.rows.map(function (row, index) { return {row: row, index: index}; });
    if (words.length) {
      rows = rows.filter(function (r) {
        var text = (String(r.row.actor) + ' ' + r.row.event + ' ' + r.row.detail).toLowerCase();
        return words.every(function (w) { return text.indexOf(w) >= 0; });
      });
    }
    return rows.reverse();  // newest first
  }

  function chainCell(index) {
    var v = audit.verdict;
    if (!v || v.intact === null) return H.el('span', {class: 'muted', text: 'not checked'});
    if (v.intact === false && index === v.index) return H.el('span', {class: 'chip tone-bad'}, H.el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '✗'}), 'Broken here');
    if (v.intact === false && index > v.index) return H.el('span', {class: 'chip tone-warn'}, H.el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '!'}), 'After the break');
    return H.el('span', {class: 'chip tone-ok'}, H.el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '✓'}), 'Verified');
  }

  function renderAuditPage() {
    var size = parseInt($('audit-page-size').value, 10);
    var rows = filteredRows();
    var pages = Math.max(1, Math.ceil(rows.length / size));
    audit.page = Math.min(Math.max(0, audit.page), pages - 1);
    var slice = rows.slice(audit.page * size, audit.page * size + size);
    var table = H.el('table', {class: 'data-table audit-table'});
    table.appendChild(H.el('thead', null, H.el('tr', null, ['Entry', 'Time', 'Actor', 'Event', 'Detail', 'Hash', 'Chain'].map(function (h) {
      return H.el('th', {scope: 'col', text: h});
    }))));
    var body = H.el('tbody');
    slice.forEach(function (r) {
      var row = r.row;
      var broken = audit.verdict && audit.verdict.intact === false && r.index === audit.verdict.index;
      body.appendChild(H.el('tr', {class: broken ? 'row-broken' : ''},
        H.el('th', {scope: 'row', text: String(row.seq)}),
        H.el('td', null, typeof row.at === 'number' ? H.timeElement(row.at) : String(row.at)),
        H.el('td', {text: row.actor === null ? '—' : String(row.actor)}),
        H.el('td', {text: String(row.event)}),
        H.el('td', null, H.el('code', {class: 'detail-text', text: String(row.detail)})),
        H.el('td', null, H.el('code', {title: String(row.hash), text: String(row.hash).slice(0, SHORT_HASH) + '…'})),
        H.el('td', null, chainCell(r.index))));
    });
    table.appendChild(body);
    var holder = H.clear($('audit-table'));
    if (!rows.length) holder.appendChild(H.el('p', {class: 'empty', text: audit.rows.length ? 'No entries match the filter.' : 'The audit trail is empty.'}));
    else holder.appendChild(H.scrollable(table, 'Audit entries'));
    $('audit-page').textContent = 'Page ' + (audit.page + 1) + ' of ' + pages + ' (' + H.plural(rows.length, 'entry', 'entries') + ')';
    $('audit-newer').disabled = audit.page === 0;
    $('audit-older').disabled = audit.page >= pages - 1;
  }

  // ---------------------------------------------------------------- decision dashboard

  // Shown to an incident commander, so everything is in plain words: the
  // answer's keys and codes never appear as they are.
  var decision = {busy: false, signature: '', shown: ''};

  var KIND_WORDS = {
    live_incident: {label: 'LIVE INCIDENT', cls: 'kind-live', symbol: '▲'},
    exercise: {label: 'EXERCISE', cls: 'kind-exercise', symbol: '●'},
    stand_down: {label: 'STAND-DOWN', cls: 'kind-standdown', symbol: '▼'}
  };
  var SCOPE_WORDS = {
    operational: 'Operational: live incidents reach every live-capable computer',
    home_lab: 'Demonstration: live incidents reach only demonstration agents',
    unspecified: 'Not recorded (sent before this was kept)'
  };
  var DELIVERY_CHANNEL = {desktop: 'Computer screen', sms: 'SMS', whatsapp: 'WhatsApp'};
  var NO_ALERTS = 'No alert or incident has been sent yet. Once one is, this page shows how far it has reached, ' +
    'by site and department, who has not acknowledged it and how quickly screens showed it.';

  function alertLabel(a) {
    var kind = a.conclusion_of ? 'Stand-down' : (a.is_test === 0 || a.is_test === false) ? 'Live' : 'Exercise';
    return kind + ': ' + (a.conclusion_of ? a.incident_title || a.title : a.title) + ' (' + H.formatTime(a.created) + ')';
  }

  function renderDecisionChoices(state) {
    var alerts = state.alerts || [];
    var signature = JSON.stringify(alerts.map(function (a) { return [a.id, a.title]; }));
    if (signature === decision.signature) return;
    decision.signature = signature;
    var select = $('decision-alert');
    var chosen = select.value;
    H.clear(select).appendChild(H.el('option', {value: '', text: 'Latest live incident, else latest alert'}));
    alerts.forEach(function (a) { select.appendChild(H.el('option', {value: a.id, text: alertLabel(a)})); });
    select.value = chosen;
  }

  // Seconds as a person says them: "4 s", "1 min 20 s"; a tenth only below ten.
  function roundedSeconds(value) {
    if (typeof value !== 'number') return '—';
    if (value < 10) return (Math.round(value * 10) / 10).toFixed(1) + ' s';
    var whole = Math.round(value);
    if (whole < 60) return whole + ' s';
    var minutes = Math.floor(whole / 60);
    return minutes + ' min' + (whole % 60 ? ' ' + (whole % 60) + ' s' : '');
  }

  function nameWithId(name, id) {
    return [name || id, name && name !== id ? H.el('span', {class: 'muted id-note', text: ' ' + id}) : null];
  }

  function chipsOf(counts) {
    var rest = {};
    Object.keys(counts || {}).forEach(function (k) { if (k !== 'total') rest[k] = counts[k]; });
    return H.countChips(rest);
  }

  function part(heading, body) {
    return H.el('section', {class: 'card decision-part'}, H.el('h2', {text: heading}), body);
  }

  function placesTable(rows, placeWord) {
    var table = H.el('table', {class: 'data-table'});
    table.appendChild(H.el('thead', null, H.el('tr', null, [placeWord, 'Acknowledged', 'Deliveries by state'].map(function (h) {
      return H.el('th', {scope: 'col', text: h});
    }))));
    table.appendChild(H.el('tbody', null, rows.map(function (r) {
      var counts = r.counts || {};
      return H.el('tr', null,
        H.el('th', {scope: 'row', text: r.label || '—'}),
        H.el('td', {text: (counts.acknowledged || 0) + ' of ' + (counts.total || 0)}),
        H.el('td', null, chipsOf(counts)));
    })));
    return H.scrollable(table, placeWord);
  }

  function reachLine(counts) {
    var total = counts.total || 0;
    var acknowledged = counts.acknowledged || 0;
    return H.el('div', {class: 'delivery-summary'},
      H.el('p', {class: 'ack-line'}, H.el('strong', {text: acknowledged + ' of ' + total}), ' acknowledged'),
      H.el('progress', {max: String(Math.max(total, 1)), value: String(acknowledged), 'aria-label': 'Acknowledged ' + acknowledged + ' of ' + total}),
      chipsOf(counts));
  }

  function delayText(figures, what) {
    if (!figures || !figures.count) return 'Not ' + what + ' on any screen yet.';
    if (figures.count === 1) return 'After ' + roundedSeconds(figures.median_seconds) + ' (1 computer).';
    return 'Half within ' + roundedSeconds(figures.median_seconds) + ', nine in ten within ' + roundedSeconds(figures.p90_seconds) +
      ' (' + H.plural(figures.count, 'computer') + ').';
  }

  function renderDecision(data) {
    var state = H.state || {};
    var out = H.clear($('decision-result'));
    var a = data.alert || {};
    var kind = KIND_WORDS[a.kind] || {label: String(a.kind), cls: '', symbol: '•'};
    var concluded = data.stand_down && data.stand_down.alert_id;
    var stateWord = concluded ? 'Concluded' : a.lifecycle === 'cancelled' ? 'Cancelled' : a.lifecycle === 'expired' ? 'Expired' : 'Active';

    if (data.selection === 'latest_alert') {
      out.appendChild(H.el('p', {class: 'info-note', role: 'note',
        text: 'There is no live incident on this service, so the latest alert is shown. Choose another alert above.'}));
    }

    var facts = H.el('dl', {class: 'facts'});
    var add = function (term, value) { facts.appendChild(H.el('dt', {text: term})); facts.appendChild(H.el('dd', null, value)); };
    add('Sent', H.timeElement(a.created));
    // A withdrawn alert has no expiry left to count down to.
    if (concluded) add('Ended', ['Stood down ', H.timeElement(data.stand_down.created)]);
    else if (a.lifecycle === 'cancelled') add('Ended', 'Cancelled; no longer shown on screens');
    else add(a.lifecycle === 'expired' ? 'Expired' : 'Expires', H.timeElement(a.expires, true));
    if (a.kind === 'stand_down') add('Stands down', a.incident_title || a.conclusion_of);
    if (a.kind === 'live_incident') add('Deployment', SCOPE_WORDS[a.deployment_scope] || String(a.deployment_scope));
    add('Figures as of', H.el('span', {id: 'decision-as-of'}, H.timeElement(data.as_of)));
    out.appendChild(H.el('section', {class: 'card decision-part decision-head', 'aria-label': 'Alert shown'},
      H.el('div', {class: 'alert-title-row'},
        H.el('h2', {class: 'alert-title', text: a.kind === 'stand_down' ? 'Stand-down: ' + (a.incident_title || a.title) : a.title}),
        H.el('ul', {class: 'badges', 'aria-label': 'Alert state'},
          H.el('li', {class: 'badge ' + kind.cls}, H.el('span', {'aria-hidden': 'true', text: kind.symbol + ' '}), kind.label),
          H.el('li', {class: 'badge badge-state state-' + stateWord.toLowerCase(), text: stateWord}))),
      facts));

    out.appendChild(part('Reach', reachLine(data.totals || {})));
    if ((data.by_site || []).length) out.appendChild(part('By site', placesTable(data.by_site, 'Site')));
    if ((data.by_department || []).length) out.appendChild(part('By department', placesTable(data.by_department, 'Department')));

    var waiting = data.not_acknowledged || [];
    var waitingBody = waiting.length ? (function () {
      var table = H.el('table', {class: 'data-table'});
      table.appendChild(H.el('thead', null, H.el('tr', null, ['Recipient', 'Channel', 'State', 'Sites', 'Departments'].map(function (h) {
        return H.el('th', {scope: 'col', text: h});
      }))));
      table.appendChild(H.el('tbody', null, waiting.map(function (r) {
        return H.el('tr', null,
          H.el('th', {scope: 'row'}, nameWithId(r.name, r.recipient_id)),
          H.el('td', {text: DELIVERY_CHANNEL[r.channel] || H.channelLabel(r.channel)}),
          H.el('td', null, H.statusChip(r.display_status)),
          H.el('td', {text: (r.sites || []).map(function (x) { return H.siteLabel(state, x); }).join(', ') || '—'}),
          H.el('td', {text: (r.departments || []).map(function (x) { return H.departmentLabel(state, x); }).join(', ') || '—'}));
      })));
      return H.scrollable(table, 'Not yet acknowledged');
    })() : H.el('p', {text: 'Everyone has acknowledged.'});
    out.appendChild(part('Not yet acknowledged (' + waiting.length + ')', waitingBody));

    var timing = data.timing || {};
    var speed = H.el('dl', {class: 'facts'},
      H.el('dt', {text: 'Shown on screen'}), H.el('dd', {text: delayText(timing.to_display, 'shown')}),
      H.el('dt', {text: 'Acknowledged'}), H.el('dd', {text: delayText(timing.to_acknowledge, 'acknowledged')}));
    out.appendChild(part('Speed on computer screens (' + H.plural(timing.desktop_deliveries || 0, 'computer') + ' addressed)', speed));

    var silent = data.silent_computers || [];
    out.appendChild(part('Computers out of contact when it was sent (' + silent.length + ')', silent.length
      ? H.el('ul', {class: 'plain-list'}, silent.map(function (c) {
        return H.el('li', null, nameWithId(c.name, c.id), ': last contact ',
          typeof c.last_seen === 'number' ? H.timeElement(c.last_seen, true) : 'never');
      }))
      : H.el('p', {text: 'Every addressed computer had been in contact in the two minutes before.'})));

    if (a.kind === 'live_incident') {
      var sd = data.stand_down || {};
      out.appendChild(part('Stand-down', sd.alert_id
        ? [H.el('p', null, 'Sent ', H.timeElement(sd.created), sd.lifecycle === 'active' ? '' : ' (' + (sd.lifecycle === 'expired' ? 'now expired' : 'withdrawn') + ')'),
          reachLine(sd.counts || {})]
        : H.el('p', {text: 'Not stood down yet.'})));
    }
  }

  function showEmptyDecision() {
    H.say($('decision-error'), '');
    H.clear($('decision-result')).appendChild(H.el('p', {class: 'empty-state', text: NO_ALERTS}));
    decision.shown = '';
  }

  function loadDecision() {
    if (decision.busy) return;
    if (H.state && Array.isArray(H.state.alerts) && !H.state.alerts.length) { showEmptyDecision(); return; }
    decision.busy = true;
    var id = $('decision-alert').value;
    H.api('POST', '/api/dashboard', id ? {id: id} : {}).then(function (result) {
      decision.busy = false;
      if (!result.ok) {
        H.say($('decision-error'), result.error);
        H.clear($('decision-result'));
        decision.shown = '';
        return;
      }
      H.say($('decision-error'), '');
      // Redrawn only when a figure changed (or relative times need a new
      // minute), so focus and scrolling survive the polls.
      var asOf = result.data && result.data.as_of;
      var signature = JSON.stringify(Object.assign({}, result.data, {as_of: Math.floor(asOf / 30)}));
      if (signature === decision.shown) {
        H.clear($('decision-as-of')).appendChild(H.timeElement(asOf));
        return;
      }
      decision.shown = signature;
      renderDecision(result.data);
    });
  }

  // ---------------------------------------------------------------- history export

  function isoDay(date) { return date.toISOString().slice(0, 10); }

  function exportHistory(event) {
    event.preventDefault();
    var format = document.querySelector('input[name="export-format"]:checked').value;
    var request = {format: format, from: $('export-from').value, to: $('export-to').value};
    H.say($('export-error'), '');
    H.say($('export-result'), '');
    var button = event.target.querySelector('button[type="submit"]');
    button.disabled = true;
    H.api('POST', '/api/history/export', request, {download: true}).then(function (result) {
      button.disabled = false;
      if (!result.ok) { H.say($('export-error'), result.error); return; }
      var name = result.filename || 'halvenor-history.' + format;
      H.saveFile(result.blob, name);
      H.say($('export-result'), 'Saved ' + name + ' (' + Math.max(1, Math.round(result.blob.size / 1024)) + ' KB).');
    });
  }

  // ---------------------------------------------------------------- wiring

  document.addEventListener('DOMContentLoaded', function () {
    $('audit-refresh').addEventListener('click', loadAudit);
    $('audit-tools').addEventListener('submit', function (e) { e.preventDefault(); });
    $('audit-filter').addEventListener('input', function () { audit.page = 0; renderAuditPage(); });
    $('audit-page-size').addEventListener('change', function () { audit.page = 0; renderAuditPage(); });
    $('audit-newer').addEventListener('click', function () { audit.page--; renderAuditPage(); });
    $('audit-older').addEventListener('click', function () { audit.page++; renderAuditPage(); });
    $('decision-form').addEventListener('submit', function (e) { e.preventDefault(); loadDecision(); });
    $('export-form').addEventListener('submit', exportHistory);
    var today = new Date();
    $('export-to').value = isoDay(today);
    $('export-from').value = isoDay(new Date(today.getTime() - 6 * 86400000));
  });

  H.views.register('audit', {show: loadAudit});
  H.views.register('decision', {show: loadDecision});
  H.onState(function (state) {
    renderDecisionChoices(state);
    if (H.views.visible('decision') && $('decision-auto').checked) loadDecision();
  });

  H.audit = {canonical: canonical, canonicalDouble: canonicalDouble, chainInput: chainInput, verifyChain: verifyChain};
})();
