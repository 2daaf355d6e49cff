// The getting-started checklist at the top of the alerts page.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var el = H.el;
  var clear = H.clear;
  var show = H.show;

  // A fresh installation has no sites, no computers and no history; the
  // administrator sees what to do first rather than an empty page under a
  // red banner. Each step counts as done from what the service reports,
  // except trusting the certificate authority on the dashboard PCs, which
  // happens outside the service and is confirmed here, in this browser.
  var CA_TRUSTED_KEY = 'halvenor.getting-started.ca-trusted';

  function caTrusted() { try { return localStorage.getItem(CA_TRUSTED_KEY) === 'yes'; } catch (e) { return false; } }

  function gettingStartedSteps(state) {
    var devices = state.devices || [];
    return [
      {done: (state.sites || []).length > 0, title: 'Add your sites and departments',
        text: 'Sites are the hospitals or buildings alerts are addressed to; departments narrow them down. The built-in departments are ready to use.',
        link: '#access', linkText: 'Open Users & access'},
      {done: devices.some(function (d) { return typeof d.last_seen === 'number'; }), title: 'Enrol the receiving computers',
        text: 'Add each computer that shows alerts, install its agent and check that it reports in.',
        link: '#setup', linkText: 'Open Deployment & certificates'},
      {done: (state.alerts || []).some(function (a) { return !(a.is_test === 0 || a.is_test === false); }), title: 'Send a first exercise',
        text: 'An exercise to one site shows that alerts reach the screens and that receipts come back.',
        link: '#raise', linkText: 'Raise an exercise'},
      {done: caTrusted(), title: 'Trust the certificate authority on the dashboard PCs', manual: true,
        text: 'Have IT install this installation\'s certificate authority on every PC that opens this dashboard, so browsers connect without warnings.',
        link: '#setup', linkText: 'Download the CA certificate'}
    ];
  }

  function renderGettingStarted(state) {
    var box = $('#getting-started');
    var steps = gettingStartedSteps(state);
    var open = state.can_manage_users === true && steps.some(function (step) { return !step.done; });
    var signature = JSON.stringify([open, steps.map(function (step) { return step.done; })]);
    if (box.dataset.signature === signature) return;
    box.dataset.signature = signature;
    show(box, open);
    var list = clear($('#getting-started-steps'));
    if (!open) return;
    steps.forEach(function (step, i) {
      var status = step.done
        ? el('span', {class: 'chip tone-ok'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '✓'}), 'Done')
        : el('span', {class: 'chip tone-wait'}, el('span', {'aria-hidden': 'true', class: 'chip-symbol', text: '…'}), 'To do');
      var confirm = step.manual && !step.done ? el('button', {type: 'button', class: 'button-small', text: 'Mark as done', on: {click: function () {
        try { localStorage.setItem(CA_TRUSTED_KEY, 'yes'); } catch (e) { /* storage unavailable: asked again next time */ }
        renderGettingStarted(H.state);
      }}}) : null;
      list.appendChild(el('li', {class: step.done ? 'step-done' : 'step-open'},
        el('div', {class: 'step-head'}, el('strong', {text: step.title}), status),
        el('p', {class: 'hint', text: step.text}),
        step.done ? null : el('p', {class: 'step-actions'}, el('a', {href: step.link, text: step.linkText}), confirm ? ' ' : null, confirm)));
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    H.onState(renderGettingStarted);
  });
})();
