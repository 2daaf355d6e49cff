// Times and durations as the dashboard shows them.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var el = H.el;
  var plural = H.plural;

  function nowSeconds() { return Date.now() / 1000; }

  function formatTime(seconds) {
    if (typeof seconds !== 'number') return '';
    var d = new Date(seconds * 1000);
    var today = new Date();
    var time = d.toLocaleTimeString(undefined, {hour: '2-digit', minute: '2-digit', second: '2-digit'});
    if (d.toDateString() === today.toDateString()) return time;
    return d.toLocaleDateString(undefined, {day: 'numeric', month: 'short', year: 'numeric'}) + ' ' + time;
  }

  function formatDuration(seconds) {
    seconds = Math.max(0, Math.round(seconds));
    if (seconds < 60) return plural(seconds, 'second');
    var minutes = Math.round(seconds / 60);
    if (minutes < 120) return plural(minutes, 'minute');
    var hours = Math.round(minutes / 60);
    if (hours < 48) return plural(hours, 'hour');
    return plural(Math.round(hours / 24), 'day');
  }

  function relativeTime(seconds, now) {
    if (typeof seconds !== 'number') return 'never';
    now = now || nowSeconds();
    var delta = seconds - now;
    if (Math.abs(delta) < 5) return 'just now';
    return delta > 0 ? 'in ' + formatDuration(delta) : formatDuration(-delta) + ' ago';
  }

  // A <time> element showing a relative time, with the exact time beside it
  // for screen readers and sighted users alike.
  function timeElement(seconds, relative) {
    if (typeof seconds !== 'number') return el('span', {class: 'muted', text: 'never'});
    var iso = new Date(seconds * 1000).toISOString();
    return el('time', {datetime: iso, title: new Date(seconds * 1000).toString()},
      relative ? relativeTime(seconds) + ' (' + formatTime(seconds) + ')' : formatTime(seconds));
  }

  H.nowSeconds = nowSeconds;
  H.formatTime = formatTime;
  H.formatDuration = formatDuration;
  H.relativeTime = relativeTime;
  H.timeElement = timeElement;
})();
