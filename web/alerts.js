// The alerts page: every alert as a card with its deliveries, kept across
// polls, and the operator's cancel and conclude (the typed stand-down).
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var el = H.el;
  var clear = H.clear;
  var show = H.show;
  var say = H.say;
  var plural = H.plural;
  var timeElement = H.timeElement;
  var statusChip = H.statusChip;
  var STATUS_ORDER = H.deliveryStatusOrder;
  var renderCell = H.renderCell;
  var scrollable = H.scrollable;
  var channelLabel = H.channelLabel;
  var siteLabel = H.siteLabel;
  var departmentLabel = H.departmentLabel;
  var recipientName = H.recipientName;
  var groupName = H.groupName;
  var api = H.api;
  var refreshState = H.refreshState;

  var CONCLUDE_CONFIRMATION = 'CONCLUDE INCIDENT';

  function parseJsonText(text, fallback) {
    if (typeof text !== 'string') return text === undefined || text === null ? fallback : text;
    try { return JSON.parse(text); } catch (e) { return fallback; }
  }

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
      on: {click: function () { H.drillReport.open(card); }}});
    card.report = el('section', {class: 'drill-report', 'aria-label': 'Drill report', hidden: true});
    card.root.appendChild(el('div', {class: 'button-row'}, card.reportButton));
    card.root.appendChild(card.report);
    return card;
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

  document.addEventListener('DOMContentLoaded', function () {
    $('#alert-filter').addEventListener('change', function () { if (H.state) renderAlerts(H.state); });
    H.views.register('alerts', {hide: function () {
      show($('#alerts-flash'), false);
      watch.highlight = null;
    }});
    H.onState(renderAlerts);
  });

  // Raising an alert ends on this page with the new alert marked, so the
  // operator finds it at once among the others.
  H.alerts = {highlight: function (id) { watch.highlight = id; }};
})();
