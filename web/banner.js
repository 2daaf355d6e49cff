// The mode banner: whether alerts from here are exercises only, reach
// demonstration agents or can be live, and who is signed in.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};
  var $ = H.$;

  // Page messages stick just below the sticky mode banner, and scrolling a
  // message into view stops short of the banner, so no answer of the service
  // is ever hidden underneath it. The banner's height changes with the width
  // and the zoom, so it is measured rather than assumed.
  function trackBannerHeight() {
    var banner = $('#mode-banner');
    var update = function () {
      var sticky = !banner.hidden && getComputedStyle(banner).position === 'sticky';
      document.documentElement.style.setProperty('--banner-height', (sticky ? banner.offsetHeight : 0) + 'px');
    };
    if (window.ResizeObserver) new ResizeObserver(update).observe(banner);
    window.addEventListener('resize', update);
    update();
  }

  function modeClass(mode) {
    if (mode === 'EXERCISE ONLY') return 'mode-exercise';
    if (/^DEMONSTRATION/.test(mode || '')) return 'mode-demo';
    if (mode === 'LIVE DESKTOP ENABLED') return 'mode-live';
    return 'mode-unknown';
  }

  var MODE_EXPLAIN = {
    'mode-exercise': ['●', 'Live incidents are switched off on this service: every alert is an exercise.'],
    'mode-demo': ['◆', 'Demonstration installation: live incidents reach only demonstration agents.'],
    'mode-live': ['▲', 'Live incidents can reach receiving computers.'],
    'mode-unknown': ['■', '']
  };

  function renderBanner(state) {
    var banner = $('#mode-banner');
    var cls = modeClass(state.mode);
    banner.className = 'mode-banner ' + cls;
    $('#mode-symbol').textContent = MODE_EXPLAIN[cls][0];
    $('#mode-text').textContent = state.mode || 'Mode unknown';
    $('#mode-explain').textContent = MODE_EXPLAIN[cls][1];
    $('#connection-status').textContent = H.lastUpdate ? 'Updated ' + H.lastUpdate.toLocaleTimeString() : '';
    var user = state.current_user || {};
    $('#who-name').textContent = user.display_name || user.id || '';
    var role = state.role === 'auditor' ? 'Auditor, read only' : state.role === 'operator' ? 'Operator' : (state.role || '');
    if (state.can_manage_users === true) role += ', administrator';
    $('#who-role').textContent = '(' + role + ')';
    document.body.classList.toggle('is-auditor', state.role !== 'operator');
  }

  document.addEventListener('DOMContentLoaded', function () {
    trackBannerHeight();
    H.onState(renderBanner);
  });
})();
