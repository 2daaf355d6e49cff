// Sign-in through the organisation's identity provider.
//
// The button is offered only when /api/auth/status says the organisation
// sign-in is enabled. Starting asks the service where to send the browser;
// the provider later returns to this page with its answer in the query text
// (the service serves "/?..." as the dashboard), which is handed to
// /api/auth/complete. The credential that comes back is kept like a pasted
// token: in sessionStorage, never in the address. The query text is removed
// from the address at once so the one-time code does not linger in history.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  function say(node, message) { node.textContent = message || ''; node.hidden = !message; }

  // The first text member among the names a sign-in result may use.
  function firstText(object, names) {
    if (!object || typeof object !== 'object') return '';
    for (var i = 0; i < names.length; i++) {
      if (typeof object[names[i]] === 'string' && object[names[i]]) return object[names[i]];
    }
    return '';
  }

  function checkStatus() {
    return H.api('GET', '/api/auth/status').then(function (result) {
      document.getElementById('org-signin').hidden = !(result.ok && result.data && result.data.enabled === true);
    });
  }

  function start() {
    var error = document.getElementById('org-signin-error');
    say(error, '');
    H.api('POST', '/api/auth/start', {}).then(function (result) {
      if (!result.ok) { say(error, result.error); return; }
      var target = firstText(result.data, ['authorization_url', 'url', 'redirect', 'location']);
      if (!/^https?:\/\//i.test(target)) {
        say(error, 'The service did not say where to sign in.');
        return;
      }
      window.location.assign(target);
    });
  }

  // Called once at start-up: finishes a sign-in the provider has just
  // returned from. Resolves when there is nothing (more) to do.
  function resume() {
    var status = checkStatus();
    var query = new URLSearchParams(window.location.search);
    if (!query.has('code') && !query.has('error') && !query.has('state')) return status;
    var request = {};
    query.forEach(function (value, key) { request[key] = value; });
    // The one-time code must not stay in the address bar or the history.
    window.history.replaceState(null, '', '/' + window.location.hash);
    var error = document.getElementById('org-signin-error');
    return H.api('POST', '/api/auth/complete', request).then(function (result) {
      if (!result.ok) { say(error, result.error); return; }
      var token = firstText(result.data, ['token', 'access_token', 'credential', 'session_token']);
      if (!token) { say(error, 'The service did not return a sign-in credential.'); return; }
      H.session.set(token);
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    document.getElementById('org-signin-button').addEventListener('click', start);
  });

  H.identity = {resume: resume, checkStatus: checkStatus};
})();
