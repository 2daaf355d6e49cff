// Progressive enhancement for the help pages: a table of contents built from
// the section headings and a filter that narrows the page to the topics
// containing every typed word. Without this script the pages remain complete
// and readable; the tools container simply stays hidden.
(function () {
  'use strict';

  var MIN_SECTIONS_FOR_TOOLS = 3;

  function normalise(text) {
    return text.toLowerCase().replace(/\s+/g, ' ').trim();
  }

  function words(text) {
    var cleaned = normalise(text);
    return cleaned === '' ? [] : cleaned.split(' ');
  }

  function setUp() {
    var tools = document.querySelector('[data-help-tools]');
    var sections = Array.prototype.slice.call(document.querySelectorAll('.help-section'));
    if (!tools || sections.length < MIN_SECTIONS_FOR_TOOLS) {
      return;
    }

    var entries = [];
    sections.forEach(function (section) {
      var heading = section.querySelector('h2');
      if (!heading || !section.id) {
        return;
      }
      entries.push({
        section: section,
        title: heading.textContent,
        text: normalise(section.textContent)
      });
    });
    if (entries.length < MIN_SECTIONS_FOR_TOOLS) {
      return;
    }

    // Table of contents.
    var nav = document.createElement('nav');
    nav.className = 'toc';
    nav.setAttribute('aria-labelledby', 'toc-heading');
    var navHeading = document.createElement('h2');
    navHeading.id = 'toc-heading';
    navHeading.textContent = 'On this page';
    nav.appendChild(navHeading);
    var list = document.createElement('ol');
    entries.forEach(function (entry) {
      var item = document.createElement('li');
      var link = document.createElement('a');
      link.href = '#' + entry.section.id;
      link.textContent = entry.title;
      item.appendChild(link);
      list.appendChild(item);
      entry.tocItem = item;
    });
    nav.appendChild(list);
    tools.appendChild(nav);

    // Topic filter.
    var filter = document.createElement('div');
    filter.className = 'filter';
    filter.setAttribute('role', 'search');
    var label = document.createElement('label');
    label.setAttribute('for', 'help-filter');
    label.textContent = 'Show only topics that mention';
    var input = document.createElement('input');
    input.type = 'search';
    input.id = 'help-filter';
    input.autocomplete = 'off';
    input.spellcheck = false;
    input.setAttribute('aria-describedby', 'help-filter-status');
    var status = document.createElement('p');
    status.id = 'help-filter-status';
    status.className = 'filter-status';
    status.setAttribute('aria-live', 'polite');
    filter.appendChild(label);
    filter.appendChild(input);
    filter.appendChild(status);
    tools.appendChild(filter);

    function apply() {
      var wanted = words(input.value);
      var shown = 0;
      entries.forEach(function (entry) {
        var match = wanted.every(function (word) {
          return entry.text.indexOf(word) !== -1;
        });
        entry.section.hidden = !match;
        entry.tocItem.hidden = !match;
        if (match) {
          entry.section.removeAttribute('data-filtered-out');
          shown += 1;
        } else {
          entry.section.setAttribute('data-filtered-out', '');
        }
      });
      if (wanted.length === 0) {
        status.textContent = '';
      } else if (shown === 0) {
        status.textContent = 'No topic mentions all of those words. Clear the box to see everything.';
      } else {
        status.textContent = shown + ' of ' + entries.length + ' topics shown.';
      }
    }

    function clear() {
      if (input.value !== '') {
        input.value = '';
        apply();
      }
    }

    input.addEventListener('input', apply);
    input.addEventListener('keydown', function (event) {
      if (event.key === 'Escape') {
        clear();
      }
    });

    // A link to a topic that the filter hides would otherwise go nowhere.
    function revealTarget() {
      var id = window.location.hash.slice(1);
      if (id === '') {
        return;
      }
      var target = document.getElementById(id);
      if (target && target.closest('[data-filtered-out]')) {
        clear();
        target.scrollIntoView();
      }
    }
    window.addEventListener('hashchange', revealTarget);

    // Print every topic, whatever the filter shows on screen.
    window.addEventListener('beforeprint', clear);

    tools.hidden = false;
  }

  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', setUp);
  } else {
    setUp();
  }
})();
