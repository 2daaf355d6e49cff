// The raise alert page: composing an alert, its preview with the coverage
// of the targeted computers, the typed confirmation a live incident needs,
// and sending it under one idempotency key however often it is retried.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var $all = H.$all;
  var el = H.el;
  var clear = H.clear;
  var show = H.show;
  var say = H.say;
  var flash = H.flash;
  var checkedValues = H.checkedValues;
  var codePoints = H.codePoints;
  var plural = H.plural;
  var renderTable = H.renderTable;
  var renderValue = H.renderValue;
  var channelLabel = H.channelLabel;
  var siteLabel = H.siteLabel;
  var departmentLabel = H.departmentLabel;
  var recipientName = H.recipientName;
  var groupName = H.groupName;
  var departmentChoices = H.departmentChoices;
  var api = H.api;
  var newKey = H.newKey;
  var refreshState = H.refreshState;

  var TITLE_LIMIT = 100;
  var BODY_LIMIT = 1000;
  var LIVE_CONFIRMATION = 'SEND LIVE ALERT';

  var compose = {
    key: newKey(),      // Idempotency-Key of the alert being composed; reused on every retry
    previewed: null,    // the request the operator saw previewed, or null
    vocabulary: ''      // signature of the option lists last built
  };

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
      H.alerts.highlight(id);
      flash($('#alerts-flash'), what + ' sent: ' + request.title.trim() + '.');
      refreshState();
      if (H.menu) H.menu.go('alerts');
    });
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

  document.addEventListener('DOMContentLoaded', function () {
    setUpComposer();
    H.onState(function (state) {
      if (state.role === 'operator') {
        renderComposerVocabulary(state);
        renderComposerPermissions(state);
      }
    });
  });

  H.composeKey = function () { return compose.key; };
  H.composeRequest = buildRequest;
})();
