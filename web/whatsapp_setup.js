// Administration: WhatsApp template set-up.
//
// WhatsApp only carries messages an organisation starts when they follow a
// template the provider approved, so IT needs three things here: whether the
// WhatsApp channel is ready, how each WhatsApp gateway account builds its
// request (the "request_template" of its settings, saved with the
// "save_account" action), and a sample rendering that shows the template
// name, language, header, variables and final text exactly as the service
// would send them (the alert preview route, so nothing is sent or stored).
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  function $(id) { return document.getElementById(id); }

  function clearMessages() {
    H.say($('whatsapp-error'), '');
    H.clear($('whatsapp-result')).hidden = true;
  }

  function renderReadiness(state) {
    var holder = H.clear($('whatsapp-readiness'));
    var report = state && state.integrations && state.integrations.whatsapp;
    var section = H.el('section', {class: 'card', 'aria-label': 'WhatsApp readiness'}, H.el('h2', {text: 'WhatsApp readiness'}));
    section.appendChild(report ? H.renderValue(report, 'WhatsApp readiness') : H.el('p', {text: 'The service reports no WhatsApp channel.'}));
    holder.appendChild(section);
  }

  function templateEditor(account) {
    var settings = H.isPlainObject(account.settings) ? account.settings : {};
    var id = 'wa-template-' + account.id;
    var textarea = H.el('textarea', {id: id, rows: '8', spellcheck: 'false'});
    textarea.value = settings.request_template ? JSON.stringify(settings.request_template, null, 2) : '';
    var save = H.el('button', {type: 'submit', text: 'Save request template'});
    var form = H.el('form', {class: 'card'},
      H.el('h3', {text: (account.label || account.id) + ' (' + account.id + ')'}),
      H.el('p', {class: 'muted', text: 'Driver: ' + account.driver + (account['default'] === true ? ' · default WhatsApp account' : '')}),
      H.el('div', {class: 'field'},
        H.el('label', {for: id, text: 'Request template (JSON; empty uses the built-in one)'}),
        textarea),
      save);
    if (account.driver !== 'http') {
      textarea.disabled = true;
      save.disabled = true;
      form.appendChild(H.el('p', {class: 'hint', text: 'Only HTTPS gateway accounts send a request; this account never leaves the machine.'}));
    }
    form.addEventListener('submit', function (e) {
      e.preventDefault();
      clearMessages();
      var next = {};
      Object.keys(settings).forEach(function (k) { if (k !== 'request_template') next[k] = settings[k]; });
      var text = textarea.value.trim();
      if (text) {
        try { next.request_template = JSON.parse(text); } catch (err) {
          H.refuse($('whatsapp-error'), 'The request template is not valid JSON: ' + err.message);
          return;
        }
      }
      H.mobile.operate('save_account', {id: account.id, label: account.label || account.id, driver: account.driver,
        channel: account.channel, settings: next, 'default': account['default'] === true}).then(function (result) {
        if (!result.ok) { H.refuse($('whatsapp-error'), result.error); return; }
        var box = H.clear($('whatsapp-result'));
        box.appendChild(H.el('p', {text: 'Saved. The account must be tested again before it sends.'}));
        box.hidden = false;
        loadAccounts();
      });
    });
    return form;
  }

  function loadAccounts() {
    H.mobile.operate('list').then(function (result) {
      var holder = H.clear($('whatsapp-accounts'));
      if (!result.ok) { H.refuse($('whatsapp-error'), result.error); return; }
      var list = result.data && Array.isArray(result.data.accounts) ? result.data.accounts.filter(function (a) {
        return H.isPlainObject(a) && a.channel === 'whatsapp';
      }) : [];
      var section = H.el('section', {class: 'card', 'aria-label': 'WhatsApp accounts'}, H.el('h2', {text: 'WhatsApp gateway accounts'}));
      if (!list.length) section.appendChild(H.el('p', {class: 'muted', text: 'No WhatsApp account yet. Add one under Mobile providers.'}));
      list.forEach(function (a) { section.appendChild(templateEditor(a)); });
      holder.appendChild(section);
    });
  }

  function renderSites(state) {
    var select = $('whatsapp-sample-site');
    var sites = (state && state.sites) || [];
    var signature = JSON.stringify(sites);
    if (select.dataset.signature === signature) return;
    select.dataset.signature = signature;
    var chosen = select.value;
    H.clear(select);
    sites.forEach(function (s) { select.appendChild(H.el('option', {value: s, text: H.siteLabel(state, s)})); });
    if (chosen) select.value = chosen;
  }

  function sample(event) {
    event.preventDefault();
    clearMessages();
    var values = {};
    Array.prototype.forEach.call(document.querySelectorAll('#whatsapp-sample-form [data-wa]'), function (input) {
      if (input.value.trim()) values[input.dataset.wa] = input.value;
    });
    var request = {test: true, title: $('whatsapp-sample-title').value, body: $('whatsapp-sample-body').value,
      severity: 'ticker', ttl_minutes: 1, channels: ['whatsapp'], sites: [$('whatsapp-sample-site').value]};
    if (Object.keys(values).length) request.whatsapp_values = values;
    var out = H.clear($('whatsapp-sample-output'));
    H.api('POST', '/api/preview', request).then(function (result) {
      if (!result.ok) { H.refuse($('whatsapp-error'), result.error); return; }
      var previews = result.data && Array.isArray(result.data.whatsapp_previews) ? result.data.whatsapp_previews : [];
      if (!previews.length) {
        out.appendChild(H.el('p', {class: 'muted', text: 'No WhatsApp message would be rendered: WhatsApp delivery is not sending through a provider.'}));
        return;
      }
      previews.forEach(function (p) {
        var rest = {};
        Object.keys(p).forEach(function (k) { if (k !== 'text') rest[k] = p[k]; });
        out.appendChild(H.el('div', {class: 'wa-preview'},
          typeof p.text === 'string' ? H.el('pre', {class: 'wa-text', text: p.text}) : null,
          H.renderValue(rest, 'Rendered message')));
      });
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    $('whatsapp-sample-form').addEventListener('submit', sample);
  });

  H.views.register('whatsapp', {show: function () {
    clearMessages();
    renderReadiness(H.state);
    renderSites(H.state);
    loadAccounts();
  }});
  H.onState(function (state) {
    if (!H.views.visible('whatsapp')) return;
    renderReadiness(state);
    renderSites(state);
  });
})();
