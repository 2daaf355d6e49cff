// The words, symbols and tones of a delivery's status, so that every page
// names a status the same way and never by colour alone.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var el = H.el;
  var humanKey = H.humanKey;

  var STATUS = {
    acknowledged: {symbol: '✓', label: 'Acknowledged', tone: 'ok'},
    displayed: {symbol: '◉', label: 'Displayed', tone: 'info'},
    received: {symbol: '●', label: 'Received', tone: 'info'},
    pending: {symbol: '…', label: 'Waiting for computer', tone: 'wait'},
    queued: {symbol: '…', label: 'Queued', tone: 'wait'},
    expired_not_displayed: {symbol: '✗', label: 'Expired, never displayed', tone: 'bad'},
    expired_unacknowledged: {symbol: '!', label: 'Expired, not acknowledged', tone: 'warn'},
    cancelled_not_displayed: {symbol: '–', label: 'Cancelled before display', tone: 'muted'},
    cancelled_unacknowledged: {symbol: '–', label: 'Cancelled, not acknowledged', tone: 'muted'}
  };
  var STATUS_ORDER = Object.keys(STATUS);

  function statusInfo(status) {
    return STATUS[status] || {symbol: '•', label: humanKey(status || 'unknown'), tone: 'muted'};
  }

  function statusChip(status, count) {
    var info = statusInfo(status);
    return el('span', {class: 'chip tone-' + info.tone},
      el('span', {class: 'chip-symbol', 'aria-hidden': 'true', text: info.symbol}),
      info.label + (count === undefined ? '' : ': ' + count));
  }

  H.statusInfo = statusInfo;
  H.statusChip = statusChip;
  H.isDeliveryStatus = function (status) { return !!STATUS[status]; };
  H.deliveryStatusOrder = STATUS_ORDER;
})();
