// The dashboard's navigation: one page (a <section data-view>) shown at a
// time, chosen by the address fragment (#alerts, #raise, ...), so the browser's
// back button and bookmarks work and nothing else in the address changes.
//
// Pages a caller may not use are never offered: "Raise alert" needs the
// operator role, the administration pages need can_manage_users from
// /api/state. Other scripts register show/hide hooks with
// Halvenor.views.register(id, {show, hide}).
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var DEFAULT_VIEW = 'alerts';
  var hooks = {};
  var current = null;
  var running = false;

  function section(id) { return document.querySelector('section[data-view="' + id + '"]'); }
  function navItem(id) {
    var link = document.querySelector('[data-nav="' + id + '"]');
    return link ? link.closest('li') : null;
  }

  function allowed(item) {
    var state = H.state || {};
    var needs = item.dataset.needs;
    if (needs === 'operator') return state.role === 'operator';
    if (needs === 'admin') return state.can_manage_users === true;
    return true;
  }

  function permitted(id) {
    var item = navItem(id);
    return !!item && !!section(id) && allowed(item);
  }

  function fromHash() {
    var id = (location.hash || '').replace(/^#/, '');
    return section(id) ? id : null;
  }

  function showView(id, moveFocus) {
    if (!permitted(id)) id = DEFAULT_VIEW;
    if (current && current !== id) {
      section(current).hidden = true;
      if (hooks[current] && hooks[current].hide) hooks[current].hide();
    }
    var changed = current !== id;
    current = id;
    section(id).hidden = false;
    Array.prototype.forEach.call(document.querySelectorAll('[data-nav]'), function (link) {
      if (link.dataset.nav === id) link.setAttribute('aria-current', 'page');
      else link.removeAttribute('aria-current');
    });
    // The administration pages share one entry in the main row and get their
    // own row beneath it, so the main row stays on one line on a laptop.
    var inAdmin = !!document.querySelector('#admin-nav [data-nav="' + id + '"]');
    document.getElementById('admin-nav').hidden = !inAdmin;
    Array.prototype.forEach.call(document.querySelectorAll('[data-nav-group="admin"]'), function (link) {
      if (inAdmin) link.setAttribute('aria-current', 'true');
      else link.removeAttribute('aria-current');
    });
    if (changed && hooks[id] && hooks[id].show) hooks[id].show();
    if (moveFocus) {
      // Announce the new page to screen readers and start keyboard travel there.
      var heading = section(id).querySelector('h1');
      if (heading) heading.focus();
    }
  }

  function applyPermissions() {
    Array.prototype.forEach.call(document.querySelectorAll('#main-nav li[data-needs]'), function (item) {
      var link = item.querySelector('[data-nav]');
      item.hidden = link ? !permitted(link.dataset.nav) : !allowed(item);
    });
    if (running && current && !permitted(current)) go(DEFAULT_VIEW);
  }

  function go(id) {
    if (location.hash === '#' + id) showView(id, true);
    else location.hash = '#' + id;  // hashchange shows it
  }

  window.addEventListener('hashchange', function () {
    if (!running) return;
    var id = fromHash();
    if (id) showView(id, true);
  });

  H.views = {
    register: function (id, viewHooks) { hooks[id] = viewHooks; },
    current: function () { return running ? current : null; },
    visible: function (id) { return running && current === id; }
  };

  H.menu = {
    start: function () {
      running = true;
      applyPermissions();
      showView(fromHash() || DEFAULT_VIEW, false);
    },
    stop: function () {
      running = false;
      Array.prototype.forEach.call(document.querySelectorAll('section[data-view]'), function (s) { s.hidden = true; });
      if (current && hooks[current] && hooks[current].hide) hooks[current].hide();
      current = null;
    },
    go: go
  };

  if (H.onState) H.onState(applyPermissions);
})();
