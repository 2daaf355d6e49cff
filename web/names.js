// The names shown for what /api/state lists by identifier: channels, sites,
// departments, recipients and groups.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  var CHANNEL_LABELS = {desktop: 'Receiving computers', sms: 'SMS', whatsapp: 'WhatsApp'};
  function channelLabel(c) { return CHANNEL_LABELS[c] || String(c); }

  // The service's built-in vocabulary ends with an entry named "Departments",
  // which reads as a heading, not a place; it is offered only where a
  // receiving computer really is in it.
  var PLACEHOLDER_DEPARTMENT = 'Departments';
  function departmentChoices(state) {
    var used = (state.devices || []).some(function (d) { return (d.departments || []).indexOf(PLACEHOLDER_DEPARTMENT) >= 0; });
    return (state.departments || []).filter(function (d) { return d !== PLACEHOLDER_DEPARTMENT || used; });
  }

  function siteLabel(state, site) { return (state.site_labels && state.site_labels[site]) || site; }
  function departmentLabel(state, d) { return (state.department_labels && state.department_labels[d]) || d; }
  function recipientName(state, id) { return (state.recipient_names && state.recipient_names[id]) || id; }
  function groupName(state, id) {
    var g = (state.groups || []).filter(function (x) { return x.id === id; })[0];
    return g ? (g.name || g.display_name || g.id) : id;
  }

  H.channelLabel = channelLabel;
  H.recipientName = recipientName;
  H.siteLabel = siteLabel;
  H.departmentLabel = departmentLabel;
  H.groupName = groupName;
  H.departmentChoices = departmentChoices;
})();
