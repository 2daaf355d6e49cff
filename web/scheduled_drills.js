// Scheduled drills on the raise alert page: the exercise composed above,
// raised by the service itself once, daily, weekly or monthly.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;
  var el = H.el;
  var clear = H.clear;
  var show = H.show;
  var say = H.say;
  var checkedValues = H.checkedValues;
  var timeElement = H.timeElement;
  var recipientName = H.recipientName;
  var api = H.api;

  var DAY_NAMES = {mon: 'Monday', tue: 'Tuesday', wed: 'Wednesday', thu: 'Thursday', fri: 'Friday', sat: 'Saturday', sun: 'Sunday'};
  var WEEK_NAMES = {1: 'first', 2: 'second', 3: 'third', 4: 'fourth'};

  function drillRule() {
    var repeat = $('#drill-repeat').value;
    var rule = {repeat: repeat, time: $('#drill-time').value};
    if (repeat === 'once') rule.date = $('#drill-date').value;
    if (repeat === 'weekly') rule.days = checkedValues('drill-day');
    if (repeat === 'monthly') { rule.week = parseInt($('#drill-week').value, 10); rule.day = $('#drill-weekday').value; }
    return rule;
  }

  function ruleText(rule) {
    var at = ' at ' + rule.time;
    if (rule.repeat === 'once') return 'Once, ' + rule.date + at;
    if (rule.repeat === 'daily') return 'Every day' + at;
    if (rule.repeat === 'weekly') return 'Every ' + (rule.days || []).map(function (d) { return DAY_NAMES[d] || d; }).join(', ') + at;
    if (rule.repeat === 'monthly') return 'The ' + WEEK_NAMES[rule.week] + ' ' + (DAY_NAMES[rule.day] || rule.day) + ' of every month' + at;
    return JSON.stringify(rule);
  }

  var RUN_OUTCOMES = {raised: 'Sent', missed: 'Missed (service not running)', refused: 'Not sent'};

  function renderDrills(data) {
    var box = clear($('#drill-list'));
    var schedules = (data && data.schedules) || [];
    var runs = (data && data.runs) || [];
    var titles = {};
    schedules.forEach(function (d) { titles[d.id] = d.title; });
    box.appendChild(el('h3', {text: 'Schedules'}));
    if (!schedules.length) box.appendChild(el('p', {class: 'muted', text: 'No drills are scheduled.'}));
    else box.appendChild(el('ul', {class: 'drill-schedules'}, schedules.map(function (d) {
      var active = d.state === 'active';
      return el('li', {},
        el('strong', {text: d.title}), ' — ' + ruleText(d.rule) + ' — ',
        active ? ['next ', timeElement(d.next_at, true)] : (d.state === 'done' ? 'done' : 'cancelled'),
        ' · scheduled by ' + (recipientName(H.state || {}, d.author) || d.author) + ' ',
        active ? el('button', {type: 'button', class: 'button-small', text: 'Cancel schedule',
          on: {click: function () { cancelDrill(d.id); }}}) : null);
    })));
    box.appendChild(el('h3', {text: 'Past runs'}));
    if (!runs.length) box.appendChild(el('p', {class: 'muted', text: 'None yet.'}));
    else box.appendChild(el('ul', {}, runs.map(function (r) {
      return el('li', {}, timeElement(r.due), ' — ' + (titles[r.schedule_id] || r.schedule_id) + ': ' +
        (RUN_OUTCOMES[r.outcome] || r.outcome) + (r.detail ? ' (' + r.detail + ')' : ''));
    })));
  }

  function loadDrills() {
    return api('GET', '/api/drills').then(function (result) {
      if (result.ok) renderDrills(result.data);
      else say($('#drill-error'), result.error);
    });
  }

  function cancelDrill(id) {
    api('POST', '/api/drills', {action: 'cancel', id: id}).then(function (result) {
      if (!result.ok) { say($('#drill-error'), result.error); return; }
      say($('#drill-error'), '');
      renderDrills(result.data);
    });
  }

  function setUpDrills() {
    var repeatChanged = function () {
      var repeat = $('#drill-repeat').value;
      show($('#drill-date-field'), repeat === 'once');
      show($('#drill-days'), repeat === 'weekly');
      show($('#drill-monthly'), repeat === 'monthly');
    };
    var today = new Date();
    var two = function (n) { return (n < 10 ? '0' : '') + n; };
    $('#drill-date').value = today.getFullYear() + '-' + two(today.getMonth() + 1) + '-' + two(today.getDate());
    $('#drill-repeat').addEventListener('change', repeatChanged);
    repeatChanged();
    $('#drill-form').addEventListener('submit', function (event) {
      event.preventDefault();
      say($('#drill-error'), '');
      var request = H.composeRequest();
      if (request.test !== true) { say($('#drill-error'), 'Choose Exercise above: only exercises can be scheduled.'); return; }
      api('POST', '/api/drills', {action: 'schedule', request: request, rule: drillRule()}).then(function (result) {
        if (!result.ok) { say($('#drill-error'), result.error); return; }
        loadDrills();
      });
    });
    H.views.register('raise', {show: loadDrills});
  }

  document.addEventListener('DOMContentLoaded', setUpDrills);
})();
