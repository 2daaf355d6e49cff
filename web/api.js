// The one client of the service's API. The access token travels solely in
// the Authorization header; a refusal comes back in the service's own words.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var el = H.el;

  var UNREACHABLE = 'The service could not be reached. Check that it is running and that this computer is on the network, then try again.';

  function fileNameFrom(disposition) {
    var match = /filename="([^"]*)"/.exec(disposition || '');
    return match ? match[1] : '';
  }

  // Every call to the service goes through here. Resolves (never rejects) to
  // {ok, status, data, error, blob, filename}; `error` is the service's own
  // message when it sent one.
  function api(method, path, body, options) {
    options = options || {};
    var headers = {};
    // The session is looked up here rather than at load: session.js signs in
    // through this client, so it loads after it.
    var token = H.session.token();
    if (token) headers.Authorization = 'Bearer ' + token;
    var init = {method: method, headers: headers, cache: 'no-store', credentials: 'omit', redirect: 'error'};
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    if (options.idempotencyKey) headers['Idempotency-Key'] = options.idempotencyKey;
    return fetch(path, init).then(function (response) {
      var type = response.headers.get('Content-Type') || '';
      var disposition = response.headers.get('Content-Disposition') || '';
      if (response.ok && (options.download || disposition)) {
        return response.blob().then(function (blob) {
          return {ok: true, status: response.status, blob: blob, type: type, filename: fileNameFrom(disposition)};
        });
      }
      return response.text().then(function (text) {
        var data = null;
        try { data = text ? JSON.parse(text) : null; } catch (e) { data = null; }
        var result = {ok: response.ok, status: response.status, data: data};
        if (!response.ok) {
          result.error = data && typeof data.error === 'string' ? data.error
            : 'The service answered ' + response.status + ' ' + response.statusText + '.';
          if (response.status === 401 && path !== '/api/auth/logout') H.sessionEnded(result.error);
        }
        return result;
      });
    }, function () {
      return {ok: false, status: 0, error: UNREACHABLE, unreachable: true};
    });
  }

  // Saves a downloaded reply under the name the service gave it.
  function saveFile(blob, filename) {
    var url = URL.createObjectURL(blob);
    var link = el('a', {href: url, download: filename || 'download', class: 'visually-hidden'});
    document.body.appendChild(link);
    link.click();
    setTimeout(function () { URL.revokeObjectURL(url); link.remove(); }, 1000);
  }

  function newKey() {
    if (window.crypto && typeof window.crypto.randomUUID === 'function') return window.crypto.randomUUID();
    var bytes = new Uint8Array(16);
    window.crypto.getRandomValues(bytes);
    bytes[6] = (bytes[6] & 0x0f) | 0x40;
    bytes[8] = (bytes[8] & 0x3f) | 0x80;
    var hex = Array.prototype.map.call(bytes, function (b) { return (b + 0x100).toString(16).slice(1); }).join('');
    return hex.slice(0, 8) + '-' + hex.slice(8, 12) + '-' + hex.slice(12, 16) + '-' + hex.slice(16, 20) + '-' + hex.slice(20);
  }

  H.api = api;
  H.saveFile = saveFile;
  H.newKey = newKey;
})();
