// Words as the dashboard counts and writes them: lengths as the service
// counts them, plurals, and labels made from the service's keys.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  // Text length as the service counts it: Unicode code points.
  function codePoints(text) { return Array.from(text || '').length; }

  function plural(n, one, many) { return n + ' ' + (n === 1 ? one : (many || one + 's')); }

  var ACRONYMS = {id: 'ID', url: 'URL', tls: 'TLS', ca: 'CA', sms: 'SMS', csr: 'CSR', dns: 'DNS', ip: 'IP', pem: 'PEM', sha256: 'SHA-256', p90: 'P90'};

  // "can_send_sms" -> "Can send SMS": keys shown as labels when a companion's
  // answer is displayed as it came.
  function humanKey(key) {
    var words = String(key).split('_').map(function (w) { return ACRONYMS[w.toLowerCase()] || w; });
    var text = words.join(' ');
    return text.charAt(0).toUpperCase() + text.slice(1);
  }

  H.codePoints = codePoints;
  H.plural = plural;
  H.humanKey = humanKey;
})();
