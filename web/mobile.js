// Mobile channels as the operator sees them, and the one client of the
// mobile administration route.
//
// The status strip on the alerts page shows, from /api/state, whether SMS and
// WhatsApp copies can really leave (each readiness flag in words and with a
// symbol, never by colour alone) and the delivery queue's summary. The
// readiness report and queue summary are shown as the service reports them,
// so a flag or count added later simply appears.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var CHANNELS = ['sms', 'whatsapp'];
  var FLAG_LABELS = {
    network_delivery_enabled: 'Sending through a provider',
    credentials_verified: 'Credentials verified',
    connection_verified: 'Connection verified',
    exercise_sending_enabled: 'Exercise sending',
    live_sending_enabled: 'Live sending'
  };
  var lastSignature = '';

  function flagItem(label, on) {
    return H.el('li', {class: on ? 'flag flag-yes' : 'flag flag-no'},
      H.el('span', {'aria-hidden': 'true', text: on ? '✓ ' : '✗ '}), label + ': ' + (on ? 'on' : 'off'));
  }

  function channelBlock(name, report) {
    var items = [];
    if (report && typeof report === 'object') {
      Object.keys(report).forEach(function (key) {
        if (typeof report[key] === 'boolean') items.push(flagItem(FLAG_LABELS[key] || H.humanKey(key), report[key]));
        else if (report[key] !== null && typeof report[key] !== 'object') items.push(H.el('li', {text: H.humanKey(key) + ': ' + report[key]}));
      });
    } else {
      items.push(H.el('li', {class: 'flag flag-no', text: 'Not configured'}));
    }
    return H.el('div', {class: 'status-block'}, H.el('h2', {class: 'status-title', text: H.channelLabel(name)}),
      H.el('ul', {class: 'flag-list'}, items));
  }

  function queueBlock(queue) {
    var items = [];
    if (queue && typeof queue === 'object') {
      Object.keys(queue).forEach(function (key) {
        var value = queue[key];
        if (key === 'paused') items.push(H.el('li', {class: value ? 'flag flag-no' : 'flag flag-yes'},
          H.el('span', {'aria-hidden': 'true', text: value ? '⏸ ' : '▶ '}), value ? 'Paused: jobs are kept, not sent' : 'Running'));
        else if (key === 'oldest_due_seconds') items.push(H.el('li', {text: 'Oldest waiting job: ' + (typeof value === 'number' ? Math.round(value) + ' s' : 'none')}));
        else if (H.isPlainObject(value)) {
          var parts = flatten(value);
          items.push(H.el('li', {text: H.humanKey(key) + ': ' + (parts.length ? parts.join(', ') : 'none')}));
        } else items.push(H.el('li', null, H.humanKey(key) + ': ', H.renderCell(value)));
      });
    }
    return H.el('div', {class: 'status-block'}, H.el('h2', {class: 'status-title', text: 'Mobile queue'}),
      H.el('ul', {class: 'flag-list'}, items.length ? items : [H.el('li', {text: 'No summary'})]));
  }

  // {"sent": 3, "sms": {"queued": 1}} -> ["sent 3", "sms queued 1"]
  function flatten(object, prefix) {
    var out = [];
    Object.keys(object).forEach(function (k) {
      var label = (prefix ? prefix + ' ' : '') + k.replace(/_/g, ' ');
      if (H.isPlainObject(object[k])) out = out.concat(flatten(object[k], label));
      else out.push(label + ' ' + H.renderCell(object[k]).textContent);
    });
    return out;
  }

  function render(state) {
    var signature = JSON.stringify([state.integrations, state.queue]);
    if (signature === lastSignature) return;
    lastSignature = signature;
    var strip = H.clear(document.getElementById('mobile-status'));
    var integrations = state.integrations || {};
    CHANNELS.forEach(function (c) { strip.appendChild(channelBlock(c, integrations[c])); });
    Object.keys(integrations).forEach(function (c) {
      if (CHANNELS.indexOf(c) < 0 && H.isPlainObject(integrations[c])) strip.appendChild(channelBlock(c, integrations[c]));
    });
    strip.appendChild(queueBlock(state.queue));
  }

  // POST /api/mobile/integration {"action": ..., ...}; resolves like Halvenor.api.
  function operate(action, fields) {
    var body = {action: action};
    Object.keys(fields || {}).forEach(function (k) { body[k] = fields[k]; });
    return H.api('POST', '/api/mobile/integration', body);
  }

  H.mobile = {operate: operate, flatten: flatten};
  if (H.onState) H.onState(render);
})();
