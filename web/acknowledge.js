// Mobile acknowledgement page. The personal token travels in the address
// fragment, which browsers never send with the page request; this script
// reads it and sends it in exactly one place: the POST made when the
// recipient presses the confirm button. Opening the link alone (a link
// scanner, a message preview) therefore acknowledges nothing.
(function () {
  'use strict';

  var ACKNOWLEDGE_PATH = '/api/mobile/acknowledge';
  var REQUEST_TIMEOUT_MS = 20000;
  var GENERIC_SUCCESS = 'Thank you. Your confirmation has been recorded.';
  var GENERIC_FAILURE = 'Your confirmation could not be recorded. Please try again.';
  var NETWORK_FAILURE = 'The alerting service could not be reached. Check your signal or Wi-Fi and try again.';
  var TIMEOUT_FAILURE = 'The alerting service did not answer in time. Please try again.';
  var SENDING = 'Sending your confirmation…';

  function readToken() {
    var hash = window.location.hash;
    return hash.length > 1 ? hash.slice(1) : '';
  }

  function textMember(data, name) {
    if (data && typeof data === 'object' && typeof data[name] === 'string' && data[name] !== '') {
      return data[name];
    }
    return '';
  }

  function setUp() {
    var button = document.querySelector('[data-ack-confirm]');
    var status = document.querySelector('[data-ack-status]');
    var missing = document.querySelector('[data-ack-missing]');
    var next = document.querySelector('[data-ack-next]');
    if (!button || !status || !missing || !next) {
      return;
    }

    var busy = false;

    function show(kind, text, moveFocus) {
      status.className = 'ack-status is-' + kind;
      status.textContent = text;
      if (moveFocus) {
        status.focus();
      }
    }

    function finishOk(text) {
      button.hidden = true;
      next.hidden = false;
      show('ok', text, true);
    }

    function finishError(text) {
      busy = false;
      button.disabled = false;
      button.removeAttribute('aria-busy');
      show('error', text, true);
    }

    function confirmReceipt() {
      if (busy) {
        return;
      }
      // Read again at the moment of sending so that a corrected link pasted
      // into the same tab is the one confirmed.
      var token = readToken();
      if (token === '') {
        button.hidden = true;
        missing.hidden = false;
        return;
      }
      busy = true;
      button.disabled = true;
      button.setAttribute('aria-busy', 'true');
      show('busy', SENDING, false);

      var controller = typeof AbortController === 'function' ? new AbortController() : null;
      var timer = controller ? window.setTimeout(function () { controller.abort(); }, REQUEST_TIMEOUT_MS) : 0;

      var options = {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ token: token, confirmed: true }),
        cache: 'no-store',
        credentials: 'omit',
        referrerPolicy: 'no-referrer'
      };
      if (controller) {
        options.signal = controller.signal;
      }

      fetch(ACKNOWLEDGE_PATH, options)
        .then(function (response) {
          return response.text().then(function (body) {
            var data = null;
            try {
              data = body === '' ? null : JSON.parse(body);
            } catch (ignored) {
              data = null;
            }
            return { ok: response.ok, status: response.status, data: data };
          });
        })
        .then(function (reply) {
          window.clearTimeout(timer);
          var refusedInBody = reply.data && typeof reply.data === 'object' && reply.data.ok === false;
          if (reply.ok && !refusedInBody) {
            finishOk(textMember(reply.data, 'message') || GENERIC_SUCCESS);
            return;
          }
          var error = textMember(reply.data, 'error');
          if (error === '') {
            error = reply.ok ? GENERIC_FAILURE : GENERIC_FAILURE + ' (Error ' + reply.status + ')';
          }
          finishError(error);
        })
        .catch(function (failure) {
          window.clearTimeout(timer);
          finishError(failure && failure.name === 'AbortError' ? TIMEOUT_FAILURE : NETWORK_FAILURE);
        });
    }

    function showForToken() {
      if (busy || !next.hidden) {
        return;
      }
      var present = readToken() !== '';
      missing.hidden = present;
      button.hidden = !present;
    }

    button.addEventListener('click', confirmReceipt);
    window.addEventListener('hashchange', showForToken);
    showForToken();
  }

  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', setUp);
  } else {
    setUp();
  }
})();
