// The signed-in session: the access token lives in sessionStorage only, so it
// ends with the tab. Signing in, signing out, and leaving the dashboard when
// the service no longer accepts the token.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var show = H.show;
  var say = H.say;
  var api = H.api;
  var startPolling = H.startPolling;
  var stopPolling = H.stopPolling;

  var TOKEN_KEY = 'halvenor.token';

  var session = {
    token: function () { try { return sessionStorage.getItem(TOKEN_KEY) || ''; } catch (e) { return ''; } },
    set: function (token) { sessionStorage.setItem(TOKEN_KEY, token); },
    clear: function () { try { sessionStorage.removeItem(TOKEN_KEY); } catch (e) { /* storage unavailable */ } }
  };

  function signIn(token) {
    session.set(token);
    return startPolling().then(function (result) {
      if (!result.ok) {
        stopPolling();
        session.clear();
        return result;
      }
      enterDashboard();
      return result;
    });
  }

  function enterDashboard() {
    show($('#signin-view'), false);
    show($('#session-bar'), true);
    show($('#mode-banner'), true);
    show($('#main-nav'), true);
    if (H.menu) H.menu.start();
  }

  function leaveDashboard(message) {
    stopPolling();
    session.clear();
    H.state = null;
    show($('#session-bar'), false);
    show($('#mode-banner'), false);
    show($('#main-nav'), false);
    say($('#connection-problem'), '');
    if (H.menu) H.menu.stop();
    show($('#signin-view'), true);
    say($('#signin-error'), message || '');
    var input = $('#signin-token');
    input.value = '';
    input.focus();
  }

  // A credential refused while signed in (expired, rotated or revoked).
  function sessionEnded(message) {
    if (!H.state) return;
    leaveDashboard('You are signed out: ' + message);
  }

  function signOut() {
    var done = function () { leaveDashboard(''); };
    api('POST', '/api/auth/logout', {}).then(done, done);
  }

  function start() {
    $('#signin-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var token = $('#signin-token').value.trim();
      if (!token) { say($('#signin-error'), 'Paste your access token first.'); return; }
      say($('#signin-error'), '');
      signIn(token).then(function (result) {
        if (!result.ok) say($('#signin-error'), result.error);
      });
    });
    $('#sign-out').addEventListener('click', signOut);

    var identity = H.identity && H.identity.resume ? H.identity.resume() : Promise.resolve(null);
    identity.then(function () {
      if (session.token()) {
        signIn(session.token()).then(function (result) {
          if (!result.ok) leaveDashboard(result.status === 401 ? '' : result.error);
        });
      } else {
        $('#signin-token').focus();
      }
    });
  }

  H.session = session;
  H.signIn = signIn;
  H.sessionEnded = sessionEnded;

  document.addEventListener('DOMContentLoaded', start);
})();
