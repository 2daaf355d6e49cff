// The /api/state poll that every page renders from. Pages subscribe with
// Halvenor.onState and are handed each new state in the order they did.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var say = H.say;
  var api = H.api;
  var isPlainObject = H.isPlainObject;

  var POLL_INTERVAL_MS = 4000;

  var listeners = [];
  var pollTimer = null;
  var polling = false;
  var inFlight = null;

  function onState(fn) { listeners.push(fn); }

  function publish() {
    listeners.forEach(function (fn) {
      try { fn(H.state); } catch (e) { reportFault(e); }
    });
  }

  function reportFault(e) {
    // A rendering fault must not stop the poll; show it instead of hiding it.
    say($('#connection-problem'), 'The dashboard could not show part of the latest state: ' + (e && e.message ? e.message : e));
  }

  function refreshState() {
    if (inFlight) return inFlight;
    inFlight = api('GET', '/api/state').then(function (result) {
      inFlight = null;
      if (!polling) return result;
      if (result.ok && isPlainObject(result.data)) {
        H.state = result.data;
        H.lastUpdate = new Date();
        say($('#connection-problem'), '');
        publish();
      } else if (result.status !== 401) {
        say($('#connection-problem'), 'Not up to date: ' + result.error + ' Retrying every few seconds.');
      }
      return result;
    });
    return inFlight;
  }

  function schedule() {
    clearTimeout(pollTimer);
    if (!polling) return;
    pollTimer = setTimeout(function () {
      refreshState().then(schedule, schedule);
    }, POLL_INTERVAL_MS);
  }

  function startPolling() { polling = true; return refreshState().then(function (r) { schedule(); return r; }); }
  function stopPolling() { polling = false; clearTimeout(pollTimer); }

  H.onState = onState;
  H.refreshState = refreshState;
  H.startPolling = startPolling;
  H.stopPolling = stopPolling;
})();
