// The drill report of an exercise, opened under its alert card: reach,
// times to display and acknowledge, silent computers, failed SMS/WhatsApp and
// the audit chain, printable alone and downloadable as CSV.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var el = H.el;
  var clear = H.clear;
  var show = H.show;
  var humanKey = H.humanKey;
  var timeElement = H.timeElement;
  var channelLabel = H.channelLabel;
  var api = H.api;
  var saveFile = H.saveFile;

  function seconds(value) {
    if (typeof value !== 'number') return '—';
    return value < 90 ? value.toFixed(1) + ' s' : Math.floor(value / 60) + ' min ' + Math.round(value % 60) + ' s';
  }

  function openDrillReport(card) {
    var box = card.report;
    api('POST', '/api/drill-report', {id: card.alert.id}).then(function (result) {
      clear(box);
      show(box, true);
      if (!result.ok) { box.appendChild(el('p', {class: 'error-box', role: 'alert', text: result.error})); return; }
      renderDrillReport(H.state || {}, box, result.data, card.alert.id);
      box.scrollIntoView({block: 'start'});
    });
  }

  function renderDrillReport(state, box, r, id) {
    var a = r.alert || {};
    var list = function (items, text) {
      return items.length ? el('ul', {}, items.map(function (i) { return el('li', {text: text(i)}); })) : el('p', {class: 'muted', text: 'None.'});
    };
    var totals = (r.reach && r.reach.totals) || {};
    var reached = Object.keys(totals).filter(function (k) { return k !== 'total' && totals[k]; })
      .map(function (k) { return humanKey(k) + ': ' + totals[k]; }).join(' · ');
    var timing = r.timing || {};
    var row = function (label, f) {
      f = f || {};
      return el('tr', {}, el('th', {scope: 'row', text: label}), el('td', {text: String(f.count || 0)}),
        el('td', {text: seconds(f.median_seconds)}), el('td', {text: seconds(f.p90_seconds)}), el('td', {text: seconds(f.slowest_seconds)}));
    };
    var chain = r.audit_chain || {};
    box.appendChild(el('h2', {text: 'Drill report: ' + a.title}));
    box.appendChild(el('p', {class: 'alert-meta'}, 'Exercise raised ', timeElement(a.created), ' · report made ', timeElement(r.generated_at)));
    box.appendChild(el('h3', {text: 'Reach'}));
    box.appendChild(el('p', {text: (totals.total || 0) + ' deliveries. ' + reached}));
    ['by_site', 'by_department'].forEach(function (key) {
      var entries = (r.reach && r.reach[key]) || [];
      box.appendChild(list(entries, function (e) {
        var c = e.counts || {};
        return e.label + ': ' + (c.total || 0) + ' deliveries, ' + ((c.acknowledged || 0)) + ' acknowledged';
      }));
    });
    box.appendChild(el('h3', {text: 'Time on receiving computers'}));
    box.appendChild(el('table', {class: 'data-table'},
      el('thead', {}, el('tr', {}, ['', 'Computers', 'Median', '90th percentile', 'Slowest'].map(function (h) { return el('th', {scope: 'col', text: h}); }))),
      el('tbody', {}, row('To display', timing.to_display), row('To acknowledge', timing.to_acknowledge))));
    box.appendChild(el('h3', {text: 'Silent computers'}));
    box.appendChild(list(r.silent_computers || [], function (c) { return c.name + ' (' + c.id + ')'; }));
    box.appendChild(el('h3', {text: 'Not acknowledged'}));
    box.appendChild(list(r.not_acknowledged || [], function (n) { return n.name + ' (' + channelLabel(n.channel) + ')'; }));
    box.appendChild(el('h3', {text: 'SMS and WhatsApp that failed'}));
    box.appendChild(list(r.mobile_jobs_failed || [], function (j) { return j.name + ' (' + channelLabel(j.channel) + '): ' + (j.reason || 'failed'); }));
    box.appendChild(el('h3', {text: 'Audit trail'}));
    box.appendChild(el('p', {class: chain.intact ? 'tone-ok' : 'tone-bad',
      text: chain.intact ? 'Intact: all ' + chain.rows + ' entries verify.' : 'BROKEN at entry ' + chain.first_broken_seq + ': ' + chain.reason}));
    box.appendChild(el('div', {class: 'button-row no-print'},
      el('button', {type: 'button', text: 'Print', on: {click: function () { printOnly(box); }}}),
      el('button', {type: 'button', text: 'Download CSV', on: {click: function () {
        api('POST', '/api/drill-report', {id: id, format: 'csv'}, {download: true}).then(function (result) {
          if (result.ok) saveFile(result.blob, result.filename);
        });
      }}}),
      el('button', {type: 'button', text: 'Close', on: {click: function () { show(box, false); }}})));
  }

  // Prints `node` alone: the rest of the page is hidden for the printout.
  function printOnly(node) {
    document.body.classList.add('printing-one');
    node.classList.add('print-target');
    window.addEventListener('afterprint', function done() {
      window.removeEventListener('afterprint', done);
      document.body.classList.remove('printing-one');
      node.classList.remove('print-target');
    });
    window.print();
  }

  H.drillReport = {open: openDrillReport};
})();
