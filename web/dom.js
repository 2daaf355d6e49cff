// Building and showing the dashboard's markup, shared by every page.
//
// The dashboard's scripts take what they use from window.Halvenor as they
// load, so index.html lists each script after those it takes from.
//
// The page runs under a content security policy without inline scripts or
// styles, so nothing built here carries a style attribute: state is shown
// with classes, text and symbols.
(function () {
  'use strict';

  var H = window.Halvenor = window.Halvenor || {};

  function $(selector, root) { return (root || document).querySelector(selector); }
  function $all(selector, root) { return Array.prototype.slice.call((root || document).querySelectorAll(selector)); }

  // el('p', {class: 'x', text: 'hi', on: {click: fn}, data: {key: 'v'}}, child...)
  function el(tag, attrs) {
    var node = document.createElement(tag);
    attrs = attrs || {};
    Object.keys(attrs).forEach(function (name) {
      var value = attrs[name];
      if (value === undefined || value === null || value === false) return;
      if (name === 'text') node.textContent = String(value);
      else if (name === 'class') node.className = value;
      else if (name === 'on') Object.keys(value).forEach(function (ev) { node.addEventListener(ev, value[ev]); });
      else if (name === 'data') Object.keys(value).forEach(function (k) { node.dataset[k] = value[k]; });
      else if (name === 'style') throw new Error('inline styles are not allowed');
      else if (value === true) node.setAttribute(name, '');
      else node.setAttribute(name, String(value));
    });
    for (var i = 2; i < arguments.length; i++) append(node, arguments[i]);
    return node;
  }

  function append(node, child) {
    if (child === undefined || child === null || child === false) return;
    if (Array.isArray(child)) { child.forEach(function (c) { append(node, c); }); return; }
    node.appendChild(typeof child === 'string' || typeof child === 'number' ? document.createTextNode(String(child)) : child);
  }

  function clear(node) { while (node.firstChild) node.removeChild(node.firstChild); return node; }

  function show(node, visible) { if (node) node.hidden = !visible; }

  // Shows a message (the server's own words for refusals) in a box, or hides it.
  function say(node, message) {
    if (!node) return;
    node.textContent = message || '';
    node.hidden = !message;
  }

  // A refusal in a page-wide message box, brought into view so it is read
  // next to the form that caused it.
  function refuse(node, message) {
    say(node, message);
    if (message && node.scrollIntoView) node.scrollIntoView({block: 'nearest'});
  }

  function flash(node, message) {
    node.textContent = message;
    node.hidden = false;
  }

  function checkedValues(name, root) {
    return $all('input[name="' + name + '"]:checked', root).map(function (i) { return i.value; });
  }

  H.$ = $;
  H.$all = $all;
  H.el = el;
  H.clear = clear;
  H.show = show;
  H.say = say;
  H.refuse = refuse;
  H.flash = flash;
  H.checkedValues = checkedValues;
})();
