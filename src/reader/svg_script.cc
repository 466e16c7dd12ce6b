#include "reader/svg_script.h"

namespace morvex::reader {

// Searched frames take the colour flamegraph.pl gives them, which no frame
// of ours has (the warm ones have no blue, the blue ones no red that high).
const char kSvgStyle[] = R"css(
text { font-family: ui-monospace, 'DejaVu Sans Mono', Menlo, Consolas, monospace; font-size: 12px; fill: #000; }
text.t { font: bold 17px sans-serif; }
text.h { font: bold 14px sans-serif; }
text.s { font: 12px sans-serif; fill: #444; }
text.w { font: 12px sans-serif; fill: #a40000; }
rect { stroke: #fff; stroke-width: 0.5; }
g:hover rect { stroke: #000; }
svg.graph > g { cursor: pointer; }
svg.graph > g.m rect { fill: #e633e6; }
svg.graph > g.a { opacity: 0.6; }
#reset { font: 12px sans-serif; fill: #0645ad; cursor: pointer; }
#reset.off { fill: #999; cursor: default; }
#search { box-sizing: border-box; width: 100%; height: 100%; font: 12px sans-serif; }
)css";

// The frames keep their place in the file; zooming and searching only move,
// hide and recolour them, so what the renderer drew is always one Reset
// away. A search's share counts each matching stretch of time once: a match
// inside another (recursion, or a file matched on every level) adds nothing.
const char kSvgScript[] = R"js(
(function () {
  'use strict';
  var NS = document.documentElement.namespaceURI;
  // Positions are written with seven decimals of a fraction; anything closer
  // than this is the same place.
  var EPS = 5e-7;
  var doc = document;
  // As wide as the window, at one user unit a pixel: the labels are cut to
  // fit rather than scaled with the picture.
  doc.documentElement.removeAttribute('viewBox');
  doc.documentElement.setAttribute('width', '100%');
  var graphs = [];
  var wholeNs = 0;
  var zoomed = null;
  var charWidth = 7.3;
  var search = doc.getElementById('search');
  var reset = doc.getElementById('reset');
  var matched = doc.getElementById('matched');
  var details = doc.getElementById('details');
  var hint = matched.textContent;

  function tipLines(g) { return g.firstElementChild.textContent.split('\n'); }

  function frameOf(g, graph) {
    var rect = g.querySelector('rect');
    var tip = tipLines(g);
    var loc = tip.length > 2 && tip[1].lastIndexOf('total ', 0) !== 0 ? tip[1] : '';
    var x = parseFloat(rect.getAttribute('x')) / 100;
    var w = parseFloat(rect.getAttribute('width')) / 100;
    return {g: g, rect: rect, text: g.querySelector('text'), graph: graph,
            x: x, w: w, shownX: x, shownW: w, shown: true,
            depth: Math.round(parseFloat(rect.getAttribute('y')) / ROW),
            label: tip[0], key: (tip[0] + '\n' + loc).toLowerCase(), loc: loc, tip: tip};
  }

  Array.prototype.forEach.call(doc.querySelectorAll('svg.graph'), function (svg) {
    var graph = {svg: svg, total: parseFloat(svg.getAttribute('data-total')), frames: []};
    Array.prototype.forEach.call(svg.children, function (g) {
      if (g.localName !== 'g') return;
      var f = frameOf(g, graph);
      g.frame = f;
      graph.frames.push(f);
    });
    wholeNs += graph.total;
    graphs.push(graph);
  });

  function percent(v) { return (v * 100).toFixed(5) + '%'; }

  // The last `room` characters, led by an ellipsis when cut, as the labels
  // in the file are cut.
  function keepEnd(label, room) {
    var chars = Array.from(label);
    if (chars.length <= room) return label;
    if (room < MIN_CHARS) return '';
    return '\u2026' + chars.slice(chars.length - (room - 1)).join('');
  }

  function fit() {
    graphs.forEach(function (graph) {
      var px = graph.svg.getBoundingClientRect().width;
      graph.frames.forEach(function (f) {
        if (!f.shown) return;
        var room = Math.floor((f.shownW * px - 2 * PAD) / charWidth);
        var s = room < MIN_CHARS ? '' : keepEnd(f.label, room);
        if (!f.text) {
          if (!s) return;
          f.text = doc.createElementNS(NS, 'text');
          f.text.setAttribute('dx', PAD);
          f.text.setAttribute('y', parseFloat(f.rect.getAttribute('y')) + BASELINE);
          f.g.appendChild(f.text);
        }
        f.text.setAttribute('x', percent(f.shownX));
        if (f.text.textContent !== s) f.text.textContent = s;
      });
    });
  }

  function contains(outer, inner) {
    return inner.x >= outer.x - EPS && inner.x + inner.w <= outer.x + outer.w + EPS;
  }

  // Zooms into `z` (null: the whole picture): its callers span the width,
  // dimmed, its callees are stretched by as much as it is, everything else
  // on its graph hides.
  function zoom(z) {
    zoomed = z;
    graphs.forEach(function (graph) {
      graph.frames.forEach(function (f) {
        var x = f.x, w = f.w, shown = true, above = false;
        if (z && graph === z.graph) {
          if (f.depth < z.depth) {
            shown = above = contains(f, z);
            x = 0;
            w = 1;
          } else if (contains(z, f)) {
            x = (f.x - z.x) / z.w;
            w = f.w / z.w;
          } else {
            shown = false;
          }
        }
        f.shown = shown;
        f.shownX = x;
        f.shownW = w;
        if (shown) {
          f.g.removeAttribute('display');
          f.rect.setAttribute('x', percent(x));
          f.rect.setAttribute('width', percent(w));
        } else {
          f.g.setAttribute('display', 'none');
        }
        f.g.classList.toggle('a', above);
      });
    });
    reset.classList.toggle('off', !z);
    fit();
  }

  function duration(ns) {
    var units = [[1e9, 's'], [1e6, 'ms'], [1e3, 'us']];
    for (var i = 0; i < units.length; ++i) {
      if (ns >= units[i][0]) {
        var v = ns / units[i][0];
        return (v >= 100 ? Math.round(v).toLocaleString('en-US') : v.toPrecision(3)) + ' ' +
               units[i][1];
      }
    }
    return Math.round(ns) + ' ns';
  }

  function find(term) {
    term = term.toLowerCase();
    var ns = 0, count = 0;
    graphs.forEach(function (graph) {
      var hits = [];
      graph.frames.forEach(function (f) {
        var hit = term !== '' && f.key.indexOf(term) >= 0;
        f.g.classList.toggle('m', hit);
        if (hit) hits.push(f);
      });
      count += hits.length;
      // Frames nest or stand apart: in order of place, then depth, a hit
      // that starts before the end of the last one counted lies inside it.
      hits.sort(function (a, b) { return a.x - b.x || a.depth - b.depth; });
      var end = -1, share = 0;
      hits.forEach(function (f) {
        if (f.x < end - EPS) return;
        share += f.w;
        end = f.x + f.w;
      });
      ns += share * graph.total;
    });
    if (term === '') {
      matched.textContent = hint;
    } else if (count === 0) {
      matched.textContent = 'No frame matches';
    } else {
      matched.textContent = 'Matched: ' + (wholeNs > 0 ? (100 * ns / wholeNs).toFixed(1) : '0.0') +
                            '% of the time (' + duration(ns) + ') in ' + count +
                            (count === 1 ? ' frame' : ' frames');
    }
  }

  var probe = doc.createElementNS(NS, 'text');
  probe.textContent = 'MMMMMMMMMM';
  (graphs.length ? graphs[0].svg : doc.documentElement).appendChild(probe);
  charWidth = probe.getComputedTextLength() / 10 || charWidth;
  probe.parentNode.removeChild(probe);

  doc.getElementById('controls').removeAttribute('display');
  doc.documentElement.addEventListener('click', function (e) {
    if (e.target === reset || reset.contains(e.target)) {
      zoom(null);
      return;
    }
    var g = e.target.closest && e.target.closest('svg.graph > g');
    if (g && g.frame) zoom(g.frame);
  });
  doc.documentElement.addEventListener('mouseover', function (e) {
    var g = e.target.closest && e.target.closest('svg.graph > g');
    if (!g || !g.frame) return;
    var f = g.frame;
    details.textContent = f.label + (f.loc ? ' (' + f.loc + ')' : '') + ': ' +
                          f.tip.slice(f.loc ? 2 : 1).join('; ');
  });
  search.addEventListener('input', function () { find(search.value); });
  doc.addEventListener('keydown', function (e) {
    if ((e.ctrlKey || e.metaKey) && (e.key === 'f' || e.key === 'F')) {
      e.preventDefault();
      search.focus();
      search.select();
    } else if (e.key === 'Escape') {
      if (doc.activeElement === search && search.value !== '') {
        search.value = '';
        find('');
      } else {
        zoom(null);
      }
    }
  });
  var pending = false;
  window.addEventListener('resize', function () {
    if (pending) return;
    pending = true;
    window.requestAnimationFrame(function () {
      pending = false;
      fit();
    });
  });
  fit();
})();
)js";

}  // namespace morvex::reader
