// Administration: mobile provider connections.
//
// Lists the provider accounts and their readiness ("list"), and posts the
// other mobile integration actions: "save_account" (label, driver, channel,
// settings, default), "test_account", "set_sending" (exercise or live, on or
// off), "assign_contact" (a contact's account for a channel, or none) and
// "send_test" (one message to one number). Every list in the service's answer
// is shown as a table, whatever columns it has; refusals appear word for word.
// Switching live sending on asks for a typed confirmation first.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var LIVE_SWITCH_CONFIRMATION = 'ENABLE LIVE';
  var listed = null;
  var contacts = [];

  function $(id) { return document.getElementById(id); }

  function clearMessages() {
    H.say($('mobile-error'), '');
    H.clear($('mobile-result')).hidden = true;
  }

  function showResult(title, data) {
    var box = H.clear($('mobile-result'));
    var message = H.isPlainObject(data) && typeof data.message === 'string' ? data.message : title;
    box.appendChild(H.el('p', {text: message}));
    box.hidden = false;
    box.scrollIntoView({block: 'nearest'});
  }

  function run(action, fields, title) {
    clearMessages();
    return H.mobile.operate(action, fields).then(function (result) {
      if (!result.ok) { H.refuse($('mobile-error'), result.error); return result; }
      showResult(title, result.data);
      load();
      H.refreshState();
      return result;
    });
  }

  function accounts() {
    return listed && Array.isArray(listed.accounts) ? listed.accounts.filter(H.isPlainObject) : [];
  }

  function accountOptions(select, allowNone) {
    var chosen = select.value;
    H.clear(select);
    if (allowNone) select.appendChild(H.el('option', {value: '', text: 'None (remove the assignment)'}));
    accounts().forEach(function (a) {
      select.appendChild(H.el('option', {value: a.id, text: (a.label || a.id) + ' — ' + H.channelLabel(a.channel) + ' (' + a.id + ')'}));
    });
    if (chosen) select.value = chosen;
  }

  function liveSwitch(account, cell) {
    var inputId = 'live-switch-' + account.id;
    var input = H.el('input', {type: 'text', id: inputId, autocomplete: 'off', spellcheck: 'false'});
    var confirm = H.el('button', {type: 'button', class: 'danger button-small', text: 'Switch live sending on', disabled: true});
    var box = H.el('div', {class: 'confirm-box'},
      H.el('label', {for: inputId}, 'Type ', H.el('strong', {text: LIVE_SWITCH_CONFIRMATION}), ' to let live incidents use ' + (account.label || account.id)),
      input, confirm,
      H.el('button', {type: 'button', class: 'button-small', text: 'Not now', on: {click: function () { box.remove(); }}}));
    input.addEventListener('input', function () { confirm.disabled = input.value !== LIVE_SWITCH_CONFIRMATION; });
    confirm.addEventListener('click', function () {
      run('set_sending', {account_id: account.id, mode: 'live', enabled: true}, 'Live sending switched on.');
    });
    cell.appendChild(box);
    input.focus();
  }

  function rowActions(account) {
    var cell = H.el('div', {class: 'button-column'});
    var button = function (text, onClick, cls) {
      return H.el('button', {type: 'button', class: 'button-small' + (cls ? ' ' + cls : ''), text: text, on: {click: onClick}});
    };
    cell.appendChild(button('Test connection', function () {
      run('test_account', {account_id: account.id}, 'Connection test finished.');
    }));
    var exercise = account.exercise_enabled === true;
    cell.appendChild(button(exercise ? 'Stop exercise sending' : 'Allow exercise sending', function () {
      run('set_sending', {account_id: account.id, mode: 'exercise', enabled: !exercise}, exercise ? 'Exercise sending switched off.' : 'Exercise sending switched on.');
    }));
    var live = account.live_enabled === true;
    cell.appendChild(button(live ? 'Stop live sending' : 'Allow live sending…', function () {
      if (live) run('set_sending', {account_id: account.id, mode: 'live', enabled: false}, 'Live sending switched off.');
      else liveSwitch(account, cell);
    }, live ? 'danger' : ''));
    cell.appendChild(button('Edit…', function () {
      $('mobile-save-id').value = account.id;
      $('mobile-save-label').value = account.label || '';
      if (account.channel) $('mobile-save-channel').value = account.channel;
      if (account.driver === 'http' || account.driver === 'mock') $('mobile-save-driver').value = account.driver;
      $('mobile-save-settings').value = JSON.stringify(account.settings || {}, null, 2);
      $('mobile-save-default').checked = account['default'] === true;
      $('mobile-save-label').focus();
    }));
    return cell;
  }

  // Every column the service sends except the gateway settings, which the
  // Edit form shows in full: with them the actions no longer fit a laptop.
  function accountsTable(rows) {
    var columns = [];
    rows.forEach(function (row) {
      Object.keys(row).forEach(function (k) { if (k !== 'settings' && columns.indexOf(k) < 0) columns.push(k); });
    });
    return H.renderTable(rows, {label: 'Provider accounts', actions: rowActions, columns: columns});
  }

  function render() {
    var holder = H.clear($('mobile-accounts'));
    var extra = H.clear($('mobile-extra'));
    if (!H.isPlainObject(listed)) { if (listed !== null) holder.appendChild(H.renderValue(listed)); return; }
    Object.keys(listed).forEach(function (key) {
      var value = listed[key];
      var section = H.el('section', {class: 'card', 'aria-label': H.humanKey(key)}, H.el('h2', {text: H.humanKey(key)}));
      if (key === 'accounts' && Array.isArray(value)) {
        section.appendChild(value.length ? accountsTable(value.filter(H.isPlainObject))
          : H.el('p', {class: 'muted', text: 'No provider accounts yet.'}));
        holder.appendChild(section);
      } else {
        section.appendChild(H.renderValue(value, H.humanKey(key)));
        extra.appendChild(section);
      }
    });
    var ids = H.clear($('mobile-account-ids'));
    accounts().forEach(function (a) { ids.appendChild(H.el('option', {value: a.id})); });
    accountOptions($('mobile-assign-account'), true);
    accountOptions($('mobile-test-account'), false);
  }

  function renderContacts(state) {
    var select = $('mobile-assign-contact');
    var names = (state && state.recipient_names) || {};
    var devices = ((state && state.devices) || []).map(function (d) { return d.id; });
    var list = Object.keys(names).filter(function (id) { return devices.indexOf(id) < 0; });
    if (JSON.stringify(list) === JSON.stringify(contacts)) return;
    contacts = list;
    var chosen = select.value;
    H.clear(select);
    list.forEach(function (id) { select.appendChild(H.el('option', {value: id, text: names[id] + ' (' + id + ')'})); });
    if (chosen) select.value = chosen;
  }

  function load() {
    H.mobile.operate('list').then(function (result) {
      if (!result.ok) { H.refuse($('mobile-error'), result.error); listed = null; render(); return; }
      listed = result.data;
      render();
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    $('mobile-reload').addEventListener('click', function () { clearMessages(); load(); });
    $('mobile-save-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var settings;
      try { settings = JSON.parse($('mobile-save-settings').value.trim() || '{}'); } catch (err) {
        H.refuse($('mobile-error'), 'The gateway settings are not valid JSON: ' + err.message);
        return;
      }
      var fields = {
        label: $('mobile-save-label').value,
        driver: $('mobile-save-driver').value,
        channel: $('mobile-save-channel').value,
        settings: settings,
        'default': $('mobile-save-default').checked
      };
      var id = $('mobile-save-id').value.trim();
      if (id) fields.id = id;
      run('save_account', fields, 'Account saved. Test it before switching sending on.');
    });
    $('mobile-assign-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var account = $('mobile-assign-account').value;
      var fields = {contact_id: $('mobile-assign-contact').value, account_id: account || null};
      if (!account) fields.channel = $('mobile-assign-channel').value;
      run('assign_contact', fields, 'Assignment saved.');
    });
    $('mobile-test-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var fields = {account_id: $('mobile-test-account').value, recipient: $('mobile-test-recipient').value.trim()};
      if ($('mobile-test-text').value.trim()) fields.text = $('mobile-test-text').value;
      run('send_test', fields, 'Test message handed to the provider.');
    });
  });

  H.views.register('mobile', {show: function () { clearMessages(); load(); renderContacts(H.state); }});
  H.onState(function (state) { if (H.views.visible('mobile')) renderContacts(state); });
  H.mobileConnections = {accounts: accounts, load: load};
})();
