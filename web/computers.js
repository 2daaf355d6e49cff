// The receiving computers page: each enrolled computer and whether it has
// been in contact lately.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var el = H.el;
  var clear = H.clear;
  var plural = H.plural;
  var nowSeconds = H.nowSeconds;
  var formatDuration = H.formatDuration;
  var timeElement = H.timeElement;
  var renderCell = H.renderCell;
  var scrollable = H.scrollable;
  var recipientName = H.recipientName;
  var siteLabel = H.siteLabel;
  var departmentLabel = H.departmentLabel;

  var STALE_AFTER_SECONDS = 120;

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

  document.addEventListener('DOMContentLoaded', function () {
    H.onState(renderComputers);
  });
})();
