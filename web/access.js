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
// is applied by pressing "Apply change", so nothing happens on a stray click,
// and a removal is confirmed once more.
//
// Entries are added and edited through labelled fields with the directory's
// own sites, departments and roles to choose from; an edit sends only what
// was changed. The same request can still be typed as JSON underneath. A
// refusal is shown at the top of the page and, in the service's own words,
// next to the field it is about.
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
  var editing = null;     // the row an edit started from, to send only changes
  var confirmed = false;  // a removal the administrator has confirmed

  // The service's built-in vocabulary ends with an entry named "Departments",
  // which is a heading rather than a place; it is offered only when in use.
  var PLACEHOLDER_DEPARTMENT = 'Departments';

  function $(id) { return document.getElementById(id); }

  function listOf(key) { return view && Array.isArray(view[key]) ? view[key] : []; }

  function siteChoices() {
    var labels = (view && view.site_labels) || {};
    return [['', 'Choose a site']].concat(listOf('sites').map(function (s) { return [s, labels[s] || s]; }), [['BOTH', 'Every site']]);
  }

  function departmentChoices() {
    var labels = (view && view.department_labels) || {};
    var used = listOf('devices').concat(listOf('contacts')).some(function (e) { return e.department === PLACEHOLDER_DEPARTMENT; });
    return [['', 'No department']].concat(listOf('departments').filter(function (d) { return d !== PLACEHOLDER_DEPARTMENT || used; })
      .map(function (d) { return [d, labels[d] || d]; }));
  }

  function roleChoices() {
    var words = {operator: 'Operator: raises and follows alerts', auditor: 'Auditor: reads only'};
    var roles = listOf('roles').length ? listOf('roles') : ['operator', 'auditor'];
    return roles.map(function (r) { return [r, words[r] || r]; });
  }

  function memberChoices() {
    var named = function (e) { return [e.id, (e.display_name || e.id) + ' (' + e.id + ')']; };
    return listOf('devices').filter(function (e) { return e.removed !== true; }).map(named)
      .concat(listOf('contacts').filter(function (e) { return e.removed !== true; }).map(named));
  }

  function fixed(pairs) { return function () { return pairs; }; }

  var FIELDS = {
    user: [
      {key: 'display_name', label: 'Name shown', type: 'text'},
      {key: 'role', label: 'Role', type: 'select', choices: roleChoices},
      {key: 'can_send_live', label: 'May send live incidents', type: 'check'},
      {key: 'can_send_sms', label: 'May send SMS copies', type: 'check'},
      {key: 'can_send_whatsapp', label: 'May send WhatsApp copies', type: 'check'},
      {key: 'can_manage_users', label: 'Administrator: manages users, computers and settings', type: 'check'}
    ],
    device: [
      {key: 'display_name', label: 'Name shown', type: 'text'},
      {key: 'site', label: 'Site', type: 'select', choices: siteChoices},
      {key: 'department', label: 'Department', type: 'select', choices: departmentChoices},
      {key: 'allow_live_desktop', label: 'Shows live incidents (otherwise exercises only)', type: 'check', absent: true}
    ],
    contact: [
      {key: 'display_name', label: 'Name shown', type: 'text'},
      {key: 'phone', label: 'Mobile number (international form, for example +447700900123)', type: 'tel'},
      {key: 'channels', label: 'Channels', type: 'checks', choices: fixed([['sms', 'SMS'], ['whatsapp', 'WhatsApp']])},
      {key: 'site', label: 'Site', type: 'select', choices: siteChoices},
      {key: 'department', label: 'Department', type: 'select', choices: departmentChoices}
    ],
    group: [
      {key: 'name', label: 'Group name', type: 'text'},
      {key: 'members', label: 'Members', type: 'checks', choices: memberChoices}
    ]
  };

  // Which field a refusal is about, from the words the service uses.
  var ERROR_FIELDS = [
    [/identifier|already in use|does not exist/i, 'id'],
    [/role/i, 'role'], [/phone/i, 'phone'], [/channel/i, 'channels'], [/member/i, 'members'],
    [/department/i, 'department'], [/site/i, 'site'], [/display_name|name/i, 'display_name']
  ];

  function fieldId(key) { return 'access-f-' + key; }

  function clearFieldErrors() {
    H.$all('#access-form .field-error').forEach(function (node) { H.say(node, ''); });
    H.$all('#access-form [aria-invalid]').forEach(function (node) { node.removeAttribute('aria-invalid'); });
  }

  function showFieldError(message) {
    var named = currentKind() === 'site' || currentKind() === 'department';
    var key = null;
    if (named) key = /label/i.test(message) ? 'label' : 'id';
    else ERROR_FIELDS.some(function (pair) { if (pair[0].test(message)) { key = pair[1]; return true; } return false; });
    var target = null;
    if (key === 'id' || key === 'label') target = key === 'id' ? 'access-id' : 'access-label';
    else if (key && $(fieldId(key) + '-error')) target = fieldId(key);
    if (!target || $(target + '-error').offsetParent === null && $(target).hidden) return;
    H.say($(target + '-error'), message);
    var control = $(target);
    if (control && control.tagName !== 'FIELDSET') control.setAttribute('aria-invalid', 'true');
  }

  function renderFields(row) {
    var holder = H.clear($('access-fields'));
    var act = currentAction();
    var fields = FIELDS[currentKind()];
    if (!fields || (act !== 'add' && act !== 'edit')) return;
    fields.forEach(function (f) {
      var id = fieldId(f.key);
      var value = row ? row[f.key] : undefined;
      var error = H.el('p', {class: 'field-error', id: id + '-error', hidden: true});
      if (f.type === 'check') {
        holder.appendChild(H.el('div', {class: 'field'},
          H.el('label', {class: 'inline-choice', for: id}, H.el('input', {type: 'checkbox', id: id, checked: flag(f, value)}), ' ', f.label), error));
      } else if (f.type === 'checks') {
        var chosen = Array.isArray(value) ? value : [];
        var choices = f.choices();
        holder.appendChild(H.el('fieldset', {id: id, 'aria-describedby': id + '-error'}, H.el('legend', {text: f.label}),
          H.el('div', {class: 'option-grid'}, choices.map(function (c) {
            var boxId = id + '-' + c[0].replace(/[^A-Za-z0-9_-]/g, '_');
            return H.el('label', {class: 'inline-choice', for: boxId},
              H.el('input', {type: 'checkbox', id: boxId, value: c[0], checked: chosen.indexOf(c[0]) >= 0}), ' ', c[1]);
          })),
          choices.length ? null : H.el('p', {class: 'hint', text: 'Nothing to choose yet.'}), error));
      } else if (f.type === 'select') {
        var select = H.el('select', {id: id, 'aria-describedby': id + '-error'}, f.choices().map(function (c) {
          return H.el('option', {value: c[0], text: c[1]});
        }));
        if (typeof value === 'string') {
          if (!H.$('option[value="' + CSS.escape(value) + '"]', select)) select.appendChild(H.el('option', {value: value, text: value}));
          select.value = value;
        }
        holder.appendChild(H.el('div', {class: 'field'}, H.el('label', {for: id, text: f.label}), select, error));
      } else {
        holder.appendChild(H.el('div', {class: 'field'}, H.el('label', {for: id, text: f.label}),
          H.el('input', {type: f.type, id: id, value: typeof value === 'string' ? value : '', 'aria-describedby': id + '-error',
            spellcheck: f.type === 'text' ? 'true' : 'false'}), error));
      }
    });
  }

  function fieldValue(f) {
    var node = $(fieldId(f.key));
    if (f.type === 'check') return node.checked;
    if (f.type === 'checks') return H.$all('input:checked', node).map(function (i) { return i.value; });
    return node.value.trim();
  }

  // A switch left out of an entry means its `absent` value (false unless said).
  function flag(f, value) { return value === undefined || value === null ? f.absent === true : value === true; }

  function isEmpty(value) { return value === '' || value === undefined || value === null || (Array.isArray(value) && !value.length); }

  // A new entry from the fields: empty optional fields are left out.
  function entryFromFields() {
    var entry = {id: $('access-id').value.trim()};
    FIELDS[currentKind()].forEach(function (f) {
      var value = fieldValue(f);
      if (f.type === 'check' ? value !== flag(f) : !isEmpty(value)) entry[f.key] = value;
    });
    return entry;
  }

  // Only what differs from the row the edit started from; a cleared
  // optional field is removed (null).
  function changesFromFields() {
    var changes = {};
    FIELDS[currentKind()].forEach(function (f) {
      var value = fieldValue(f);
      var before = editing ? editing[f.key] : undefined;
      if (f.type === 'check') { if (value !== flag(f, before)) changes[f.key] = value; return; }
      if (isEmpty(value) && isEmpty(before)) return;
      if (JSON.stringify(value) === JSON.stringify(before)) return;
      changes[f.key] = isEmpty(value) ? null : value;
    });
    if (!Object.keys(changes).length) throw new Error('Nothing has been changed.');
    return changes;
  }

  function clearMessages() {
    H.say($('access-error'), '');
    var result = $('access-result');
    H.clear(result);
    result.hidden = true;
    clearFieldErrors();
    H.show($('access-confirm'), false);
    confirmed = false;
  }

  function currentKind() { return $('access-kind').value; }
  function currentAction() { return $('access-action').value; }

  function fillActions(selected) {
    var select = H.clear($('access-action'));
    ACTIONS[currentKind()].forEach(function (a) { select.appendChild(H.el('option', {value: a, text: ACTION_LABELS[a]})); });
    if (selected) select.value = selected;
  }

  function idsForKind(kind) {
    if (kind === 'department') return departmentChoices().slice(1).map(function (c) { return c[0]; });
    var list = view && view[LIST_FOR_KIND[kind]];
    if (!Array.isArray(list)) return [];
    return list.map(function (item) { return H.isPlainObject(item) ? item.id : item; }).filter(function (x) { return typeof x === 'string'; });
  }

  function formChanged() {
    var kind = currentKind();
    var act = currentAction();
    var named = kind === 'site' || kind === 'department';
    H.show($('access-id-field'), act !== 'use_defaults');
    $('access-id-field').querySelector('label').textContent = named ? 'Name' : 'Identifier';
    $('access-id-hint').textContent = named ? '' : act === 'add'
      ? 'Letters, digits, dots, hyphens, underscores or @; it cannot be changed later.' : '';
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
    if ((act === 'add' || act === 'edit') && $('access-entry-field').open) {
      var parsed;
      try { parsed = JSON.parse($('access-entry').value || '{}'); } catch (e) {
        throw new Error('The details are not valid JSON: ' + e.message);
      }
      if (act === 'add') request.entry = parsed;
      else { request.id = id; request.changes = parsed; }
      return request;
    }
    if (act === 'add') { request.entry = entryFromFields(); return request; }
    if (act === 'edit') { request.id = id; request.changes = changesFromFields(); return request; }
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

  var DONE_WORDS = {add: 'added', edit: 'changed', disable: 'disabled', enable: 'enabled', remove: 'removed',
    restore: 'restored', rotate_token: 'given a new access token', label: 'relabelled'};

  function showResult(data, request) {
    var box = H.clear($('access-result'));
    var what = request && (request.id || request.name || (request.entry && request.entry.id));
    var done = request && DONE_WORDS[request.action] && what
      ? ' The ' + KIND_WORDS[request.kind] + ' "' + what + '" was ' + DONE_WORDS[request.action] + '.' : '';
    box.appendChild(H.el('p', {text: 'Change applied.' + done}));
    var found = findToken(data);
    if (found) {
      box.appendChild(H.el('div', {class: 'token-box'},
        H.el('p', null, H.el('strong', {text: 'New access token, shown only this once: '}),
          H.el('code', {class: 'token', text: found.token})),
        H.el('p', {text: 'Copy it now and hand it over privately. Anyone holding it can act in this name.'})));
    }
    box.appendChild(H.el('details', null, H.el('summary', {text: 'What the service recorded'}),
      H.renderValue(withoutTokens(data), 'Result')));
    box.hidden = false;
    // A new token is shown only this once: it must not sit out of sight.
    box.scrollIntoView({block: 'start'});
  }

  var KIND_WORDS = {user: 'user', device: 'receiving computer', contact: 'mobile contact', group: 'group', site: 'site', department: 'department'};

  function apply(event) {
    if (event) event.preventDefault();
    var sure = confirmed;
    clearMessages();
    var request;
    try { request = buildRequest(); } catch (e) { H.refuse($('access-error'), e.message); showFieldError(e.message); return; }
    var named = request.kind === 'site' || request.kind === 'department';
    if (named && request.action !== 'use_defaults' && !request.name) {
      var missing = 'Enter the ' + KIND_WORDS[request.kind] + '\'s name.';
      H.refuse($('access-error'), missing);
      showFieldError(missing);
      return;
    }
    if (request.action === 'remove' && !sure) {
      var what = (request.id || request.name || '').trim();
      $('access-confirm-text').textContent = 'Remove the ' + KIND_WORDS[request.kind] + ' "' + what + '"? ' +
        (named ? 'It is no longer offered when alerts are addressed.' : 'It no longer receives or sends alerts; it can be restored later.');
      H.show($('access-confirm'), true);
      $('access-confirm-yes').focus();
      return;
    }
    H.api('POST', '/api/access/change', request).then(function (result) {
      if (!result.ok) { H.refuse($('access-error'), result.error); showFieldError(result.error); return; }
      showResult(result.data, request);
      if (request.action === 'add') { $('access-id').value = ''; $('access-label').value = ''; }
      editing = null;
      H.clear($('access-fields'));
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
    editing = act === 'edit' && H.isPlainObject(row) ? row : null;
    formChanged();
    renderFields(editing);
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
            $(fieldId('allow_live_desktop')).checked = !live;
          }}}));
      }
      return buttons;
    };
  }

  // The directory's keys as the forms above name them.
  var COLUMN_WORDS = {
    id: 'Identifier', display_name: 'Name shown', can_send_sms: 'May send SMS', can_send_whatsapp: 'May send WhatsApp',
    can_send_live: 'May send live', can_manage_users: 'Administrator', has_token: 'Has an access token',
    allow_live_desktop: 'Shows live incidents', phone: 'Mobile number', name: 'Group name'
  };

  function render() {
    var holder = H.clear($('access-view'));
    if (!H.isPlainObject(view)) { if (view !== null) holder.appendChild(H.renderValue(view)); return; }
    var kindFor = {users: 'user', devices: 'device', contacts: 'contact', groups: 'group'};
    Object.keys(view).forEach(function (key) {
      var value = key === 'departments' ? departmentChoices().slice(1).map(function (c) { return c[0]; }) : view[key];
      var section = H.el('section', {class: 'card', 'aria-label': H.humanKey(key)}, H.el('h2', {text: H.humanKey(key) + (Array.isArray(value) ? ' (' + value.length + ')' : '')}));
      if (Array.isArray(value) && value.length && value.every(H.isPlainObject)) {
        section.appendChild(H.renderTable(value, {label: H.humanKey(key), labels: COLUMN_WORDS, actions: kindFor[key] ? rowActions(kindFor[key]) : null}));
      } else {
        section.appendChild(H.renderValue(value, H.humanKey(key)));
      }
      holder.appendChild(section);
    });
    formChanged();
    // Typed values survive a reload; the fields are built afresh only when empty.
    if (!$('access-fields').firstChild) renderFields(editing);
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
    var restart = function () {
      editing = null;
      clearFieldErrors();
      $('access-entry').value = exampleFor(currentKind(), currentAction());
      formChanged();
      renderFields(null);
    };
    $('access-kind').addEventListener('change', function () {
      $('access-id').value = '';
      $('access-label').value = '';
      fillActions();
      restart();
    });
    $('access-action').addEventListener('change', restart);
    $('access-confirm-yes').addEventListener('click', function () { confirmed = true; apply(); });
    $('access-confirm-no').addEventListener('click', function () {
      H.show($('access-confirm'), false);
      $('access-form').querySelector('button[type="submit"]').focus();
    });
    $('access-entry').value = exampleFor('user', 'add');
    $('access-form').addEventListener('submit', apply);
    $('access-reload').addEventListener('click', function () { clearMessages(); load(); });
    formChanged();
  });

  H.views.register('access', {show: function () { clearMessages(); load(); }});
})();

// Computers and contacts from a CSV file: the file goes to the service in
// pieces small enough for a request ({"action": "stage", "offset", "text"}),
// is checked as a whole ("preview", every row with what would happen or why
// it cannot), and only the Import button applies it ("commit"), all rows or
// none. The export offers the same columns back.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var PIECE_BYTES = 15000;      // request bodies are at most 16384 bytes
  var SHOWN_ROWS = 500;         // rows without errors listed in the preview
  var ACTION_WORDS = {add: 'Add', update: 'Change', unchanged: 'No change', error: 'Cannot import'};
  var encoder = new TextEncoder();

  function $(id) { return document.getElementById(id); }

  function reset() {
    H.say($('access-bulk-error'), '');
    H.say($('access-bulk-summary'), '');
    H.clear($('access-bulk-preview'));
    $('access-bulk-commit').hidden = true;
  }

  function bodyBytes(text) { return encoder.encode(JSON.stringify({action: 'stage', offset: 99999999, text: text})).length; }

  // The next piece of `text` from `start` whose request stays under the limit,
  // never splitting a character that takes two UTF-16 units.
  function pieceEnd(text, start) {
    var end = Math.min(text.length, start + PIECE_BYTES);
    while (end > start + 1 && bodyBytes(text.slice(start, end)) > PIECE_BYTES) end = start + Math.floor((end - start) / 2);
    var last = text.charCodeAt(end - 1);
    if (end < text.length && last >= 0xD800 && last <= 0xDBFF) end -= 1;
    return end;
  }

  function stage(text, start, offset) {
    if (start >= text.length) return Promise.resolve({ok: true});
    var end = pieceEnd(text, start);
    return H.api('POST', '/api/access/import', {action: 'stage', offset: offset, text: text.slice(start, end)}).then(function (result) {
      if (!result.ok) return result;
      return stage(text, end, result.data.staged);
    });
  }

  function renderPreview(data) {
    var counts = data.counts || {};
    var summary = H.plural(counts.rows || 0, 'row') + ': ' + (counts.add || 0) + ' to add, ' + (counts.update || 0) +
      ' to change, ' + (counts.unchanged || 0) + ' unchanged, ' + H.plural(counts.errors || 0, 'row') + ' with errors.';
    if (counts.errors) summary += ' Correct the file and choose it again; nothing is imported while any row has an error.';
    H.say($('access-bulk-summary'), summary);
    var rows = data.rows || [];
    var errors = rows.filter(function (r) { return r.action === 'error'; });
    var others = rows.filter(function (r) { return r.action !== 'error'; });
    var shown = errors.concat(others.slice(0, SHOWN_ROWS)).map(function (r) {
      return {row: r.row, result: ACTION_WORDS[r.action] || r.action, kind: r.kind, id: r.id,
        display_name: r.display_name || '', site: r.site || '', department: r.department || '', error: r.error || ''};
    });
    var holder = H.clear($('access-bulk-preview'));
    holder.appendChild(H.renderTable(shown, {
      caption: 'Rows of the file',
      columns: ['row', 'result', 'kind', 'id', 'display_name', 'site', 'department', 'error'],
      labels: {row: 'Line', result: 'Result', kind: 'Kind', id: 'Identifier', display_name: 'Display name',
        site: 'Site', department: 'Department', error: 'Problem'}
    }));
    if (others.length > SHOWN_ROWS) holder.appendChild(H.el('p', {class: 'hint', text: 'And ' + (others.length - SHOWN_ROWS) + ' more rows without errors.'}));
    var button = $('access-bulk-commit');
    button.hidden = !data.ok || !(counts.add || counts.update);
    button.textContent = 'Import ' + H.plural((counts.add || 0) + (counts.update || 0), 'entry', 'entries');
  }

  function check(file) {
    reset();
    if (!file) return;
    H.say($('access-bulk-summary'), 'Checking ' + file.name + '…');
    file.text().then(function (text) {
      if (!text) return {ok: false, error: 'The file is empty.'};
      return stage(text, 0, 0);
    }).then(function (result) {
      if (!result.ok) return result;
      return H.api('POST', '/api/access/import', {action: 'preview'});
    }).then(function (result) {
      if (!result.ok) { H.say($('access-bulk-summary'), ''); H.refuse($('access-bulk-error'), result.error); return; }
      renderPreview(result.data);
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    $('access-bulk-file').addEventListener('change', function (e) { check(e.target.files[0]); });
    $('access-bulk-commit').addEventListener('click', function () {
      var button = $('access-bulk-commit');
      button.disabled = true;
      H.api('POST', '/api/access/import', {action: 'commit'}).then(function (result) {
        button.disabled = false;
        if (!result.ok) { H.refuse($('access-bulk-error'), result.error); return; }
        reset();
        $('access-bulk-file').value = '';
        var d = result.data || {};
        H.say($('access-bulk-summary'), 'Imported: ' + (d.added || 0) + ' added, ' + (d.updated || 0) + ' changed.');
        $('access-reload').click();
      });
    });
    $('access-bulk-export').addEventListener('click', function () {
      reset();
      H.api('GET', '/api/access/export', undefined, {download: true}).then(function (result) {
        if (!result.ok) { H.refuse($('access-bulk-error'), result.error); return; }
        H.saveFile(result.blob, result.filename || 'halvenor-directory.csv');
        H.say($('access-bulk-summary'), 'Saved ' + (result.filename || 'halvenor-directory.csv') + '.');
      });
    });
  });
})();
