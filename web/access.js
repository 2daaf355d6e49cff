// Administration: users and access.
//
// Shows GET /api/access (users, roles, receiving computers, contacts, groups,
// sites, departments; never a credential) as tables built from whatever the
// service returns, and posts one change at a time to /api/access/change as
// {"kind", "action", ...}: add (with "entry"), edit ("id" and "changes"),
// disable, enable, remove, restore, rotate_token ("id"), and for sites and
// departments add, label, remove ("name", "label") and use_defaults
// ("enabled"). A new credential in a result is shown once, with a warning;
// the page never stores it. Row buttons only fill in the form: every change
// is applied by pressing "Apply change", so nothing happens on a stray click.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  var ACTIONS = {
    user: ['add', 'edit', 'disable', 'enable', 'remove', 'restore', 'rotate_token'],
    device: ['add', 'edit', 'disable', 'enable', 'remove', 'restore', 'rotate_token'],
    contact: ['add', 'edit', 'disable', 'enable', 'remove', 'restore'],
    group: ['add', 'edit', 'remove'],
    site: ['add', 'label', 'remove'],
    department: ['add', 'label', 'remove', 'use_defaults']
  };
  var ACTION_LABELS = {
    add: 'Add', edit: 'Edit', disable: 'Disable', enable: 'Enable', remove: 'Remove', restore: 'Restore',
    rotate_token: 'Issue a new access token', label: 'Set display label', use_defaults: 'Built-in department list'
  };
  var LIST_FOR_KIND = {user: 'users', device: 'devices', contact: 'contacts', group: 'groups', site: 'sites', department: 'departments'};
  var ENTRY_EXAMPLES = {
    user: {id: 'new.operator', display_name: 'New Operator', role: 'operator', can_send_live: false, can_send_sms: false, can_send_whatsapp: false, can_manage_users: false},
    device: {id: 'ward-pc-7', display_name: 'Ward 7 nurses station', site: '', department: ''},
    contact: {id: 'duty-nurse', display_name: 'Duty Nurse', phone: '+447700900123', channels: ['sms'], site: '', department: ''},
    group: {id: 'response-team', name: 'Response team', members: []}
  };
  var view = null;

  function $(id) { return document.getElementById(id); }

  function clearMessages() {
    H.say($('access-error'), '');
    var result = $('access-result');
    H.clear(result);
    result.hidden = true;
  }

  function currentKind() { return $('access-kind').value; }
  function currentAction() { return $('access-action').value; }

  function fillActions(selected) {
    var select = H.clear($('access-action'));
    ACTIONS[currentKind()].forEach(function (a) { select.appendChild(H.el('option', {value: a, text: ACTION_LABELS[a]})); });
    if (selected) select.value = selected;
  }

  function idsForKind(kind) {
    var list = view && view[LIST_FOR_KIND[kind]];
    if (!Array.isArray(list)) return [];
    return list.map(function (item) { return H.isPlainObject(item) ? item.id : item; }).filter(function (x) { return typeof x === 'string'; });
  }

  function formChanged() {
    var kind = currentKind();
    var act = currentAction();
    var named = kind === 'site' || kind === 'department';
    H.show($('access-id-field'), act !== 'add' || named ? act !== 'use_defaults' : false);
    $('access-id-field').querySelector('label').textContent = named ? 'Name' : 'Identifier';
    H.show($('access-label-field'), named && (act === 'add' || act === 'label'));
    H.show($('access-enabled-field'), act === 'use_defaults');
    var wantsJson = !named && (act === 'add' || act === 'edit');
    H.show($('access-entry-field'), wantsJson);
    $('access-entry-label').textContent = act === 'add' ? 'New entry (JSON)' : 'Changes (JSON; null removes an optional field)';
    $('access-entry-hint').textContent = act === 'add'
      ? 'Edit the example. A new user or computer gets an access token, shown once after saving.'
      : 'Only the fields to change, for example {"display_name": "Night Operator"}.';
    var datalist = H.clear($('access-ids'));
    idsForKind(kind).forEach(function (id) { datalist.appendChild(H.el('option', {value: id})); });
  }

  function exampleFor(kind, act, row) {
    if (act === 'add') return JSON.stringify(ENTRY_EXAMPLES[kind] || {}, null, 2);
    if (act === 'edit' && row) {
      var copy = {};
      // Enrolment's own record of a computer is not the administrator's to edit.
      var fixed = ['id', 'has_token', 'enrolled_at', 'enrolment_code'];
      Object.keys(row).forEach(function (k) { if (fixed.indexOf(k) < 0) copy[k] = row[k]; });
      return JSON.stringify(copy, null, 2);
    }
    return '{}';
  }

  function buildRequest() {
    var kind = currentKind();
    var act = currentAction();
    var request = {kind: kind, action: act};
    var id = $('access-id').value.trim();
    if (kind === 'site' || kind === 'department') {
      if (act === 'use_defaults') request.enabled = $('access-enabled').checked;
      else {
        request.name = id;
        var label = $('access-label').value.trim();
        if (act === 'label' || label) request.label = label;
      }
      return request;
    }
    if (act === 'add' || act === 'edit') {
      var parsed;
      try { parsed = JSON.parse($('access-entry').value || '{}'); } catch (e) {
        throw new Error('The details are not valid JSON: ' + e.message);
      }
      if (act === 'add') request.entry = parsed;
      else { request.id = id; request.changes = parsed; }
      return request;
    }
    request.id = id;
    return request;
  }

  // A credential in a result: at the top level or one level down.
  function findToken(result) {
    if (!H.isPlainObject(result)) return null;
    if (typeof result.token === 'string') return {token: result.token, rest: result};
    var keys = Object.keys(result);
    for (var i = 0; i < keys.length; i++) {
      var v = result[keys[i]];
      if (H.isPlainObject(v) && typeof v.token === 'string') return {token: v.token, rest: result};
    }
    return null;
  }

  function withoutTokens(value) {
    if (Array.isArray(value)) return value.map(withoutTokens);
    if (!H.isPlainObject(value)) return value;
    var copy = {};
    Object.keys(value).forEach(function (k) { if (k !== 'token') copy[k] = withoutTokens(value[k]); });
    return copy;
  }

  function showResult(data) {
    var box = H.clear($('access-result'));
    box.appendChild(H.el('p', {text: 'Change applied.'}));
    var found = findToken(data);
    if (found) {
      box.appendChild(H.el('div', {class: 'token-box'},
        H.el('p', null, H.el('strong', {text: 'New access token, shown only this once: '}),
          H.el('code', {class: 'token', text: found.token})),
        H.el('p', {text: 'Copy it now and hand it over privately. Anyone holding it can act in this name.'})));
    }
    box.appendChild(H.renderValue(withoutTokens(data), 'Result'));
    box.hidden = false;
  }

  function apply(event) {
    event.preventDefault();
    clearMessages();
    var request;
    try { request = buildRequest(); } catch (e) { H.refuse($('access-error'), e.message); return; }
    H.api('POST', '/api/access/change', request).then(function (result) {
      if (!result.ok) { H.refuse($('access-error'), result.error); return; }
      showResult(result.data);
      load();
      H.refreshState();
    });
  }

  // Row buttons prefill the form; the administrator still applies it.
  function prefill(kind, act, row) {
    $('access-kind').value = kind;
    fillActions(act);
    $('access-id').value = row && typeof row === 'object' ? row.id : String(row);
    $('access-entry').value = exampleFor(kind, act, row);
    formChanged();
    $('access-form').scrollIntoView({block: 'start'});
    $('access-action').focus();
  }

  function rowActions(kind) {
    return function (row) {
      var buttons = [H.el('button', {type: 'button', class: 'button-small', text: 'Edit…', on: {click: function () { prefill(kind, 'edit', row); }}})];
      if (kind !== 'group') {
        var disabled = row.enabled === false;
        buttons.push(H.el('button', {type: 'button', class: 'button-small', text: disabled ? 'Enable…' : 'Disable…',
          on: {click: function () { prefill(kind, disabled ? 'enable' : 'disable', row); }}}));
        buttons.push(H.el('button', {type: 'button', class: 'button-small', text: row.removed === true ? 'Restore…' : 'Remove…',
          on: {click: function () { prefill(kind, row.removed === true ? 'restore' : 'remove', row); }}}));
      } else {
        buttons.push(H.el('button', {type: 'button', class: 'button-small', text: 'Remove…', on: {click: function () { prefill(kind, 'remove', row); }}}));
      }
      if (kind === 'user' || kind === 'device') {
        buttons.push(H.el('button', {type: 'button', class: 'button-small', text: 'New token…', on: {click: function () { prefill(kind, 'rotate_token', row); }}}));
      }
      if (kind === 'device') {
        // Computers show live incidents unless their entry says false.
        var live = row.allow_live_desktop !== false;
        buttons.push(H.el('button', {type: 'button', class: 'button-small', text: live ? 'Exercises only…' : 'Allow live…',
          on: {click: function () {
            prefill(kind, 'edit', row);
            $('access-entry').value = JSON.stringify({allow_live_desktop: !live}, null, 2);
          }}}));
      }
      return buttons;
    };
  }

  function render() {
    var holder = H.clear($('access-view'));
    if (!H.isPlainObject(view)) { if (view !== null) holder.appendChild(H.renderValue(view)); return; }
    var kindFor = {users: 'user', devices: 'device', contacts: 'contact', groups: 'group'};
    Object.keys(view).forEach(function (key) {
      var value = view[key];
      var section = H.el('section', {class: 'card', 'aria-label': H.humanKey(key)}, H.el('h2', {text: H.humanKey(key) + (Array.isArray(value) ? ' (' + value.length + ')' : '')}));
      if (Array.isArray(value) && value.length && value.every(H.isPlainObject)) {
        section.appendChild(H.renderTable(value, {label: H.humanKey(key), actions: kindFor[key] ? rowActions(kindFor[key]) : null}));
      } else {
        section.appendChild(H.renderValue(value, H.humanKey(key)));
      }
      holder.appendChild(section);
    });
    formChanged();
  }

  function load() {
    H.api('GET', '/api/access').then(function (result) {
      if (!result.ok) { H.refuse($('access-error'), result.error); view = null; H.clear($('access-view')); return; }
      view = result.data;
      render();
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    fillActions();
    $('access-kind').addEventListener('change', function () {
      fillActions();
      $('access-entry').value = exampleFor(currentKind(), currentAction());
      formChanged();
    });
    $('access-action').addEventListener('change', function () {
      $('access-entry').value = exampleFor(currentKind(), currentAction());
      formChanged();
    });
    $('access-entry').value = exampleFor('user', 'add');
    $('access-form').addEventListener('submit', apply);
    $('access-reload').addEventListener('click', function () { clearMessages(); load(); });
    formChanged();
  });

  H.views.register('access', {show: function () { clearMessages(); load(); }});
})();
