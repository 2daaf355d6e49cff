// Any JSON value the service or a companion returns, shown as readable
// markup without knowing its shape in advance.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var el = H.el;
  var humanKey = H.humanKey;
  var timeElement = H.timeElement;
  var formatDuration = H.formatDuration;
  var statusChip = H.statusChip;
  var isDeliveryStatus = H.isDeliveryStatus;

  function isPlainObject(v) { return v !== null && typeof v === 'object' && !Array.isArray(v); }

  function scalarText(value) {
    if (value === null || value === undefined) return '—';
    if (value === true) return 'Yes';
    if (value === false) return 'No';
    return String(value);
  }

  // One value as a compact node: scalars as text, flag values with a symbol,
  // long or multi-line text as preformatted, lists and objects inline.
  function renderCell(value) {
    if (value === true) return el('span', {class: 'flag flag-yes'}, el('span', {'aria-hidden': 'true', text: '✓ '}), 'Yes');
    if (value === false) return el('span', {class: 'flag flag-no'}, el('span', {'aria-hidden': 'true', text: '✗ '}), 'No');
    if (typeof value === 'string' && (value.indexOf('\n') >= 0 || value.length > 120)) return el('pre', {class: 'pre-value', text: value});
    if (Array.isArray(value)) {
      if (value.every(function (v) { return !isPlainObject(v) && !Array.isArray(v); })) {
        return document.createTextNode(value.length ? value.map(scalarText).join(', ') : '—');
      }
      return renderValue(value);
    }
    if (isPlainObject(value)) {
      var keys = Object.keys(value);
      if (!keys.length) return document.createTextNode('—');
      if (keys.every(function (k) { return !isPlainObject(value[k]) && !Array.isArray(value[k]); })) {
        return document.createTextNode(keys.map(function (k) { return humanKey(k) + ': ' + scalarText(value[k]); }).join('; '));
      }
      return renderValue(value);
    }
    return document.createTextNode(scalarText(value));
  }

  var TIME_KEYS = /^(created|expires|at|as_of|last_seen|seen|updated|next_at|received|displayed|acknowledged|not_before|not_after)$|_at$/;
  var EARLIEST_TIME = 946684800;  // 2000-01-01: smaller numbers are not times

  // A value shown under a known key: times as times, seconds as durations,
  // delivery statuses and counts with the dashboard's words and symbols.
  function renderField(key, value) {
    if (typeof value === 'number' && TIME_KEYS.test(key) && value > EARLIEST_TIME) return timeElement(value);
    if (typeof value === 'number' && /_seconds$/.test(key)) return document.createTextNode(formatSeconds(value));
    if (typeof value === 'string' && /(^|_)status$/.test(key) && isDeliveryStatus(value)) return statusChip(value);
    if (isPlainObject(value) && allNumbers(value)) return countChips(value);
    return renderCell(value);
  }

  function formatSeconds(value) {
    return value < 10 ? value.toFixed(2) + ' s' : value < 120 ? value.toFixed(1) + ' s' : formatDuration(value);
  }

  function allNumbers(object) {
    var keys = Object.keys(object);
    return keys.length > 1 && keys.every(function (k) { return typeof object[k] === 'number'; });
  }

  // {"total": 3, "acknowledged": 1, "pending": 0, ...} as chips, zeros left out.
  function countChips(counts) {
    var row = el('span', {class: 'chip-row'});
    Object.keys(counts).forEach(function (k) {
      if (k === 'total') row.appendChild(el('span', {class: 'chip tone-strong', text: 'Total: ' + counts[k]}));
      else if (counts[k] !== 0) row.appendChild(isDeliveryStatus(k) ? statusChip(k, counts[k]) : el('span', {class: 'chip', text: humanKey(k) + ': ' + counts[k]}));
    });
    if (!row.firstChild) row.appendChild(document.createTextNode('none'));
    return row;
  }

  // A table from an array of objects: one column per key seen, in first-seen
  // order, so whatever a companion returns is shown without knowing its shape.
  function renderTable(rows, options) {
    options = options || {};
    var columns = options.columns || [];
    if (!options.columns) {
      rows.forEach(function (row) {
        Object.keys(row || {}).forEach(function (k) { if (columns.indexOf(k) < 0) columns.push(k); });
      });
    }
    var table = el('table', {class: 'data-table'});
    if (options.caption) table.appendChild(el('caption', {text: options.caption}));
    var headRow = el('tr');
    columns.forEach(function (c) { headRow.appendChild(el('th', {scope: 'col', text: options.labels && options.labels[c] || humanKey(c)})); });
    if (options.actions) headRow.appendChild(el('th', {scope: 'col', text: 'Actions'}));
    table.appendChild(el('thead', null, headRow));
    var body = el('tbody');
    rows.forEach(function (row) {
      var tr = el('tr');
      columns.forEach(function (c, i) {
        var cell = el(i === 0 ? 'th' : 'td', i === 0 ? {scope: 'row'} : null);
        cell.appendChild(renderField(c, row ? row[c] : undefined));
        tr.appendChild(cell);
      });
      if (options.actions) tr.appendChild(el('td', {class: 'row-actions'}, options.actions(row)));
      body.appendChild(tr);
    });
    table.appendChild(body);
    return scrollable(table, options.caption || options.label || 'Table');
  }

  // Wide tables scroll sideways inside a focusable region at high zoom, so the
  // page itself never scrolls horizontally and keyboard users can reach it.
  function scrollable(node, label) {
    return el('div', {class: 'table-wrap', role: 'region', 'aria-label': label, tabindex: '0'}, node);
  }

  // Any JSON value as readable markup: objects as definition lists, arrays of
  // objects as tables, other arrays as lists.
  function renderValue(value, label) {
    if (Array.isArray(value)) {
      if (!value.length) return el('p', {class: 'muted', text: 'None.'});
      if (value.every(isPlainObject)) return renderTable(value, {label: label});
      return el('ul', {class: 'plain-list'}, value.map(function (v) { return el('li', null, renderCell(v)); }));
    }
    if (isPlainObject(value) && allNumbers(value)) return countChips(value);
    if (isPlainObject(value)) {
      var dl = el('dl', {class: 'facts'});
      Object.keys(value).forEach(function (k) {
        dl.appendChild(el('dt', {text: humanKey(k)}));
        var v = value[k];
        var nested = (isPlainObject(v) && Object.keys(v).length > 0 && !allNumbers(v)) || (Array.isArray(v) && v.some(isPlainObject));
        dl.appendChild(el('dd', null, nested ? renderValue(v, humanKey(k)) : renderField(k, v)));
      });
      return dl;
    }
    return el('p', null, renderCell(value));
  }

  H.renderValue = renderValue;
  H.renderTable = renderTable;
  H.renderCell = renderCell;
  H.renderField = renderField;
  H.countChips = countChips;
  H.scrollable = scrollable;
  H.isPlainObject = isPlainObject;
})();
