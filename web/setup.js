// Administration: deployment settings and certificates.
//
// Shows GET /api/setup as the service describes it and posts the setup
// actions: "save" (host name, listen address, port), "issue" (a certificate
// from the installation's own authority), "csr" (a signing request for IT's
// authority), "import" (IT's certificate chain), "distribute" (what dashboard
// PCs and agents need), "ca" and "ca_pem" (the authority's certificate as a
// DER or PEM file),
// "bundle" (one receiving computer's agent package as a file),
// "browser_trust" (ask that computer's agent to trust the server in its
// browsers) and the agent enrolment codes ("enrolment_code", whose rollout
// file is offered for saving at once because the code is never shown again;
// "enrolment_codes"; "revoke_enrolment_code"; "agent_package", the agent's
// Debian package as a file) and "live_mode" (live alerts or exercises only).
// Results and refusals are
// shown exactly as the service returns them. Offered only to callers with
// can_manage_users.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var pendingConfirm = null;

  function $(id) { return document.getElementById(id); }

  function clearMessages() {
    H.say($('setup-error'), '');
    H.say($('setup-result'), '');
  }

  function showOutput(title, value) {
    $('setup-output-heading').textContent = title;
    H.clear($('setup-output')).appendChild(H.renderValue(value, title));
    $('setup-output-card').hidden = false;
  }

  function loadView() {
    H.api('GET', '/api/setup').then(function (result) {
      var holder = H.clear($('setup-view'));
      if (!result.ok) { H.refuse($('setup-error'), result.error); return; }
      holder.appendChild(H.renderValue(result.data, 'Deployment settings'));
      var data = result.data || {};
      // Offer the saved values for editing, when the service reports them.
      var saved = H.isPlainObject(data.deployment) ? data.deployment : H.isPlainObject(data.settings) ? data.settings : data;
      if (typeof saved.hostname === 'string' && !$('setup-hostname').value) $('setup-hostname').value = saved.hostname;
      if (typeof saved.bind === 'string' && !$('setup-bind').value) $('setup-bind').value = saved.bind;
      if (typeof saved.port === 'number' && !$('setup-port').value) $('setup-port').value = String(saved.port);
    });
  }

  function action(name, fields, title) {
    clearMessages();
    var body = {action: name};
    Object.keys(fields || {}).forEach(function (k) { body[k] = fields[k]; });
    return H.api('POST', '/api/setup/action', body).then(function (result) {
      if (!result.ok) { H.refuse($('setup-error'), result.error); return result; }
      H.say($('setup-result'), title + ': done.');
      showOutput(title, result.data);
      loadView();
      return result;
    });
  }

  function download(name, fields, fallbackName) {
    clearMessages();
    var body = {action: name};
    Object.keys(fields || {}).forEach(function (k) { body[k] = fields[k]; });
    H.api('POST', '/api/setup/action', body, {download: true}).then(function (result) {
      if (!result.ok) { H.refuse($('setup-error'), result.error); return; }
      var file = result.filename || fallbackName;
      H.saveFile(result.blob, file);
      H.say($('setup-result'), 'Saved ' + file + '.');
    });
  }

  // The newest package of one kind (".deb", ".msi") the server offers; the
  // list is in text order, so the newest version of each kind comes last.
  function downloadPackage(suffix, kind) {
    clearMessages();
    H.api('POST', '/api/setup/action', {action: 'agent_packages'}).then(function (result) {
      if (!result.ok) { H.refuse($('setup-error'), result.error); return; }
      var names = (result.data.packages || []).filter(function (n) { return n.slice(-suffix.length) === suffix; });
      if (!names.length) {
        H.refuse($('setup-error'), 'No ' + kind + ' has been built beside this server.');
        return;
      }
      var name = names[names.length - 1];
      download('agent_package', {name: name}, name);
    });
  }

  function askFirst(text, run) {
    pendingConfirm = run;
    $('setup-confirm-text').textContent = text;
    $('setup-confirm').hidden = false;
    $('setup-confirm-yes').focus();
  }

  function renderDevices(state) {
    var select = $('setup-device');
    var chosen = select.value;
    var devices = (state && state.devices) || [];
    var signature = JSON.stringify(devices.map(function (d) { return d.id; }));
    if (select.dataset.signature === signature) return;
    select.dataset.signature = signature;
    H.clear(select);
    devices.forEach(function (d) {
      select.appendChild(H.el('option', {value: d.id, text: H.recipientName(state, d.id) + ' (' + d.id + ')'}));
    });
    if (chosen) select.value = chosen;
  }

  document.addEventListener('DOMContentLoaded', function () {
    $('setup-reload').addEventListener('click', loadView);
    $('setup-save-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var fields = {hostname: $('setup-hostname').value.trim()};
      if ($('setup-bind').value.trim()) fields.bind = $('setup-bind').value.trim();
      var port = $('setup-port').value.trim();
      if (port) fields.port = /^\d+$/.test(port) ? parseInt(port, 10) : port;
      action('save', fields, 'Server address saved');
    });
    Array.prototype.forEach.call(document.querySelectorAll('[data-setup-action]'), function (button) {
      button.addEventListener('click', function () {
        var run = function () { action(button.dataset.setupAction, {}, button.textContent); };
        if (button.dataset.confirm) askFirst(button.dataset.confirm, run);
        else run();
      });
    });
    $('setup-confirm-yes').addEventListener('click', function () {
      $('setup-confirm').hidden = true;
      var run = pendingConfirm;
      pendingConfirm = null;
      if (run) run();
    });
    $('setup-confirm-no').addEventListener('click', function () {
      $('setup-confirm').hidden = true;
      pendingConfirm = null;
    });
    $('setup-import-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var pem = $('setup-certificate').value;
      askFirst('Import this certificate chain? It replaces the served certificate.', function () {
        action('import', {certificate: pem}, 'Certificate imported');
      });
    });
    $('setup-download-ca').addEventListener('click', function () {
      download('ca', {}, 'halvenor-mass-communication-ca.cer');
    });
    $('setup-download-ca-pem').addEventListener('click', function () {
      download('ca_pem', {}, 'halvenor-mass-communication-ca.pem');
    });
    $('setup-bundle').addEventListener('click', function () {
      var id = $('setup-device').value;
      download('bundle', {id: id}, id + '-agent.zip');
    });
    $('setup-browser-trust').addEventListener('click', function () {
      action('browser_trust', {id: $('setup-device').value}, 'Browser trust requested');
    });

    $('setup-exercise-only').addEventListener('click', function () {
      switchLive({live: false}, 'Switched to exercises only');
    });
    $('setup-live-form').addEventListener('submit', function (e) {
      e.preventDefault();
      switchLive({live: true, confirmation: $('setup-live-confirmation').value}, 'Live alerts switched on');
    });

    $('setup-enrolment-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var fields = {
        site: $('setup-enrolment-site').value.trim(),
        expires_hours: Number($('setup-enrolment-hours').value),
        uses: parseInt($('setup-enrolment-uses').value, 10),
        live: $('setup-enrolment-live').checked
      };
      var department = $('setup-enrolment-department').value.trim();
      if (department) fields.department = department;
      action('enrolment_code', fields, 'Enrolment code created').then(function (result) {
        if (!result.ok || !result.data || !result.data.rollout) return;
        var text = JSON.stringify(result.data.rollout, null, 2) + '\n';
        H.saveFile(new Blob([text], {type: 'application/json'}), 'agent-rollout.json');
      });
    });
    $('setup-enrolment-list').addEventListener('click', function () {
      action('enrolment_codes', {}, 'Enrolment codes');
    });
    $('setup-agent-package').addEventListener('click', function () {
      downloadPackage('.deb', 'Debian agent package');
    });
    $('setup-agent-package-windows').addEventListener('click', function () {
      downloadPackage('.msi', 'Windows agent installer');
    });
    $('setup-enrolment-revoke').addEventListener('click', function () {
      var id = $('setup-enrolment-id').value.trim();
      askFirst('Withdraw enrolment code ' + id + '? Computers already enrolled keep working.', function () {
        action('revoke_enrolment_code', {id: id}, 'Enrolment code withdrawn');
      });
    });
  });

  // The switch between live alerts and exercises only, shown from the mode
  // the dashboard state reports ("EXERCISE ONLY" or a live mode).
  function renderLiveSwitch(state) {
    if (!state || typeof state.mode !== 'string') return;
    var exerciseOnly = state.mode === 'EXERCISE ONLY';
    $('setup-live-state').textContent = exerciseOnly
      ? 'This installation sends exercises only. Live alerts are switched off.'
      : 'Live alerts are switched on. Switching to exercises only is always allowed and takes effect at once.';
    $('setup-exercise-only').hidden = exerciseOnly;
    $('setup-live-form').hidden = !exerciseOnly;
  }

  function switchLive(fields, title) {
    fields.live = fields.live === true;
    action('live_mode', fields, title).then(function (result) {
      if (!result.ok) return;
      $('setup-live-confirmation').value = '';
      H.refreshState();
    });
  }

  H.views.register('setup', {show: function () { clearMessages(); loadView(); renderDevices(H.state); renderLiveSwitch(H.state); }});
  H.onState(function (state) {
    if (!H.views.visible('setup')) return;
    renderDevices(state);
    renderLiveSwitch(state);
  });
})();
