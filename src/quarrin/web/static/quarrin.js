// quarrin's web view: the overview follows new events, the timeline plays what is clicked.
// Everything it shows comes from the JSON API; text goes in as text, never as markup (but for a
// camera's card, which is the server's own template rendered).
"use strict";

function pad(n) { return String(n).padStart(2, "0"); }

// An ISO time as the pages show it: HH:MM:SS, with the day when it is not today.
function when(iso) {
  if (!iso) return "—";
  var now = new Date();
  var today = now.getFullYear() + "-" + pad(now.getMonth() + 1) + "-" + pad(now.getDate());
  var day = iso.slice(0, 10), clock = iso.slice(11, 19);
  return day === today ? clock : day + " " + clock;
}

// The site's paths by name, as the server wrote them into the page (quarrin.web.urls): `parts`
// fill the {name} pieces, each one path segment; `query` goes after them.
var ROUTES = JSON.parse(document.body.dataset.routes || "{}");
function url(name, parts, query) {
  var path = ROUTES[name].replace(/\{(\w+)[^}]*\}/g, function (_, key) { return encodeURIComponent(parts[key]); });
  var q = new URLSearchParams(query || {}).toString();
  return q ? path + "?" + q : path;
}

function el(tag, attrs, children) {
  var node = document.createElement(tag);
  Object.keys(attrs || {}).forEach(function (k) { node.setAttribute(k, attrs[k]); });
  (children || []).forEach(function (c) { node.append(c); });
  return node;
}

// The same markup as templates/_thumb.html.
function thumb(e) {
  var shown = when(e.start);
  var meta = [el("b", {}, [e.camera]), " ", el("time", {datetime: e.start}, [shown]), " "];
  if (e.label) {
    var found = e.score == null ? e.label : e.label + " " + Number(e.score).toFixed(2);
    meta.push(el("span", {"class": "label"}, [found]), " ");
  }
  meta.push(el("span", {"class": "length"}, [Number(e.seconds).toFixed(1) + " s"]));
  return el("a", {"class": "thumb new", href: url("event", {id: e.id}), "data-event-id": e.id}, [
    el("img", {src: e.snapshot_url, alt: e.camera + " at " + shown, loading: "lazy"}),
    el("span", {"class": "meta"}, meta)]);
}

function getJSON(url) {
  return fetch(url, {credentials: "same-origin", headers: {Accept: "application/json"}}).then(function (r) {
    if (!r.ok) throw new Error(url + ": " + r.status);
    return r.json();
  });
}

// --- the overview ---------------------------------------------------------------------------
function followOverview() {
  var grid = document.getElementById("latest");
  var limit = Number(grid.dataset.limit) || 24;
  var every = (Number(document.body.dataset.poll) || 4) * 1000;

  function updateEvents(found) {
    var fresh = found.events.filter(function (e) {
      return !grid.querySelector('.thumb[data-event-id="' + CSS.escape(e.id) + '"]');
    });
    fresh.reverse().forEach(function (e) { grid.prepend(thumb(e)); });
    var all = grid.querySelectorAll(".thumb");
    for (var i = limit; i < all.length; i++) all[i].remove();
    if (fresh.length) {
      var none = document.getElementById("no-events");
      if (none) none.remove();
    }
  }

  function updateCameras(cameras) {
    var list = document.querySelector(".cameras");
    cameras.forEach(function (c) {
      var card = list.querySelector('.camera[data-camera="' + CSS.escape(c.name) + '"]');
      if (!card) { addCard(list, c.name); return; }
      var img = card.querySelector("img"), picture = card.querySelector(".picture");
      var src = c.live_url || c.snapshot_url || url("placeholder");
      if (img.getAttribute("src") !== src) img.setAttribute("src", src);
      if (c.last_event) picture.setAttribute("data-event-id", c.last_event.id);
      card.querySelector('[data-field="last_frame"]').textContent = when(c.last_frame);
      card.querySelector('[data-field="last_event"]').textContent = c.last_event ? when(c.last_event.start) : "—";
      card.querySelector('[data-field="events_today"]').textContent =
        c.events_today + (c.events_today === 1 ? " event" : " events");
      setField(card, "state", "State", c.state);
      setField(card, "last_error", "Last error", c.state !== "recording" ? c.last_error : null);
      setField(card, "source", "Source", c.source);
    });
  }

  // A camera that came with a reload: its card as the server renders it (templates/_camera.html,
  // the overview's own markup, escaped there), put in its place by name.
  var adding = {};
  function addCard(list, name) {
    if (adding[name]) return;
    adding[name] = true;
    fetch(url("camera_card", {name: name}), {credentials: "same-origin", headers: {Accept: "text/html"}})
      .then(function (r) {
        if (!r.ok || (r.headers.get("Content-Type") || "").indexOf("text/html") !== 0) throw new Error(r.status);
        return r.text();
      })
      .then(function (html) {
        if (list.querySelector('.camera[data-camera="' + CSS.escape(name) + '"]')) return;
        var made = document.createElement("template");
        made.innerHTML = html;
        var card = made.content.querySelector(".camera");
        if (!card) return;
        var empty = list.querySelector(".empty");
        if (empty) empty.remove();
        var after = Array.prototype.find.call(list.querySelectorAll(".camera"), function (other) {
          return other.dataset.camera > name;
        });
        list.insertBefore(card, after || null);
      })
      .catch(function () { /* tried again at the next poll */ })
      .finally(function () { delete adding[name]; });
  }

  // A camera's fact shown, changed, or taken away when it is no more.
  function setField(card, field, label, value) {
    var dd = card.querySelector('[data-field="' + field + '"]');
    if (value == null || value === "") {
      if (dd) { dd.previousElementSibling.remove(); dd.remove(); }
      return;
    }
    if (!dd) {
      dd = el("dd", {"data-field": field, "class": field === "last_error" ? "error" : ""});
      var state = card.querySelector('[data-field="state"]');
      if (field === "last_error" && state) state.after(el("dt", {}, [label]), dd);
      else card.querySelector("dl").append(el("dt", {}, [label]), dd);
    }
    dd.textContent = value;
  }

  function poll() {
    Promise.all([getJSON(url("api_events", {}, {limit: limit})).then(updateEvents),
                 getJSON(url("api_cameras")).then(updateCameras)])
      .catch(function () { /* the server away for a moment: the next poll tries again */ })
      .finally(function () { setTimeout(poll, every); });
  }
  setTimeout(poll, every);
}

// --- the timeline ---------------------------------------------------------------------------
// The zoom levels, widest first, and their windows in seconds (quarrin.web.app.ZOOMS).
var ZOOMS = [["day", 86400], ["hour", 3600], ["15min", 900], ["5min", 300]];
var MARK_PX = 8;   // the narrowest a mark is drawn: marks closer than this are one cluster

// The timeline's page at `zoom` whose window holds the moment `t` (a Date).
function timelineAt(zoom, t) {
  var query = {};
  var camera = new URLSearchParams(location.search).get("camera");
  if (camera) query.camera = camera;
  query.day = t.getFullYear() + "-" + pad(t.getMonth() + 1) + "-" + pad(t.getDate());
  if (zoom !== "day") { query.zoom = zoom; query.hour = t.getHours(); }
  var size = ZOOMS.filter(function (z) { return z[0] === zoom; })[0][1];
  if (size < 3600) query.minute = t.getMinutes() - t.getMinutes() % (size / 60);
  return url("timeline", {}, query);
}

// A time the server wrote (local, ISO, no zone) as a Date.
function localTime(iso) {
  var p = iso.match(/^(\d+)-(\d+)-(\d+)T(\d+):(\d+):(\d+)(?:\.(\d+))?/);
  return new Date(Number(p[1]), Number(p[2]) - 1, Number(p[3]), Number(p[4]), Number(p[5]), Number(p[6]),
                  p[7] ? Number(("0." + p[7])) * 1000 : 0);
}

function playTimeline() {
  var line = document.querySelector(".timeline");
  var player = document.querySelector(".player"), video = player.querySelector("video");
  var caption = player.querySelector(".caption");
  var scrub = player.querySelector(".scrub input"), at = player.querySelector(".scrub .at");
  var seconds = Number(line.dataset.seconds), start = localTime(line.dataset.start);
  var zoom = line.dataset.zoom;
  var level = ZOOMS.map(function (z) { return z[0]; }).indexOf(zoom);
  var finer = level + 1 < ZOOMS.length ? ZOOMS[level + 1][0] : null;
  var zoomIn = document.querySelector("a.zoom-in"), zoomOut = document.querySelector("a.zoom-out");
  // What plays: the camera's row, the span (recording) its video is, and where it was asked to start.
  var row = line.querySelector(".row"), span = null, scrubbing = false, chosen = -1;
  var marks = Array.prototype.slice.call(line.querySelectorAll(".mark")).sort(function (a, b) {
    return a.dataset.start < b.dataset.start ? -1 : a.dataset.start > b.dataset.start ? 1 : 0;
  });
  var previousButton = player.querySelector(".previous-event"), nextButton = player.querySelector(".next-event");

  function clockAt(offset) {
    var t = new Date(start.getTime() + offset * 1000);
    return pad(t.getHours()) + ":" + pad(t.getMinutes()) + ":" + pad(t.getSeconds());
  }
  function offsetOf(mark) { return (localTime(mark.dataset.start) - start) / 1000; }
  function spansOf(r) {
    return r ? Array.prototype.slice.call(r.querySelectorAll(".span")).sort(function (a, b) {
      return Number(a.dataset.first) - Number(b.dataset.first);
    }) : [];
  }
  function bare(src) { return (src || "").split("#")[0]; }

  // The position shown on the scrub bar, and the zoom-in link made to go to its part of the window.
  function show(offset) {
    if (!scrubbing) scrub.value = Math.max(0, Math.min(seconds, offset));
    at.textContent = clockAt(Math.max(0, Math.min(seconds, offset)));
    if (zoomIn && finer) zoomIn.href = timelineAt(finer, new Date(start.getTime() + Math.max(0, offset) * 1000));
  }

  function play(src, text) {
    video.hidden = false;
    caption.textContent = text;
    if (bare(video.getAttribute("src")) === bare(src) && src.indexOf("#t=") > 0) {
      video.currentTime = Number(src.split("#t=")[1]);
    } else {
      video.src = src;
    }
    var started = video.play();
    if (started && started.catch) started.catch(function () {});
  }

  function offer(text, href) {
    video.hidden = false;
    span = null;
    video.removeAttribute("src");
    video.load();
    caption.textContent = text + " ";
    if (href) caption.append(el("a", {href: href, download: ""}, ["Download the video"]));
  }

  // Plays `r`'s recordings from `offset` seconds into the window: the span covering it, or the next
  // one after a gap.
  function playFrom(r, offset, quiet) {
    var list = spansOf(r);
    var covering = list.filter(function (s) {
      return Number(s.dataset.first) <= offset && offset <= Number(s.dataset.last);
    })[0];
    if (!covering) {
      covering = list.filter(function (s) { return Number(s.dataset.first) > offset; })[0];
      if (!covering) { if (!quiet) offer("Nothing recorded at " + clockAt(offset) + "."); return false; }
      offset = Number(covering.dataset.first);
    }
    return playSpan(r, covering, offset);
  }

  function playSpan(r, covering, offset) {
    row = r;
    show(offset);
    if (!covering.dataset.url) { offer(clockAt(offset) + ": the video of this recording is gone."); return false; }
    if (covering.dataset.playable !== "yes") {
      offer(clockAt(offset) + ": this video does not play in a browser.", covering.dataset.url);
      return false;
    }
    span = covering;
    var from = Math.max(0, offset - Number(covering.dataset.first));
    play(covering.dataset.url + "#t=" + from.toFixed(1), r.dataset.camera + " from " + clockAt(offset));
    return true;
  }

  function playMark(mark) {
    line.querySelectorAll(".mark.playing").forEach(function (m) { m.classList.remove("playing"); });
    mark.classList.add("playing");
    chosen = marks.indexOf(mark);
    updateSteps();
    row = mark.closest(".row");
    var clip = mark.dataset.clip;
    span = spansOf(row).filter(function (s) { return s.dataset.url && s.dataset.url === bare(clip); })[0] || null;
    show(offsetOf(mark));
    var name = mark.getAttribute("aria-label") || mark.title;
    if (clip && mark.dataset.playable === "yes") {
      play(clip, name + " ");
      caption.append(el("a", {href: mark.dataset.href}, ["open the event"]));
    } else {
      offer(name + ": this video does not play in a browser.", clip && bare(clip));
    }
  }

  // The next or previous event from the one chosen (or from where the player is).
  function step(by) {
    var i;
    if (chosen >= 0) i = chosen + by;
    else {
      var now = Number(scrub.value);
      var after = marks.filter(function (m) { return by > 0 ? offsetOf(m) > now : offsetOf(m) < now; });
      i = after.length ? marks.indexOf(by > 0 ? after[0] : after[after.length - 1]) : -1;
    }
    if (i >= 0 && i < marks.length) playMark(marks[i]);
  }
  function updateSteps() {
    previousButton.disabled = !marks.length || chosen === 0;
    nextButton.disabled = !marks.length || chosen === marks.length - 1;
  }
  previousButton.addEventListener("click", function () { step(-1); });
  nextButton.addEventListener("click", function () { step(1); });
  updateSteps();

  // Marks closer than MARK_PX drawn as one numbered button that zooms in (at the finest zoom each
  // mark stays a button of its own).
  function cluster() {
    line.querySelectorAll(".cluster").forEach(function (c) { c.remove(); });
    line.querySelectorAll(".mark.clustered").forEach(function (m) { m.classList.remove("clustered"); });
    if (!finer) return;
    line.querySelectorAll(".bar").forEach(function (bar) {
      var width = bar.clientWidth;
      if (!width) return;
      var placed = Array.prototype.slice.call(bar.querySelectorAll(".mark")).map(function (m) {
        return {mark: m, left: m.offsetLeft, right: m.offsetLeft + Math.max(m.offsetWidth, MARK_PX)};
      }).sort(function (a, b) { return a.left - b.left; });
      var groups = [];
      placed.forEach(function (p) {
        var last = groups[groups.length - 1];
        if (last && p.left < last.right) { last.items.push(p); last.right = Math.max(last.right, p.right); }
        else groups.push({left: p.left, right: p.right, items: [p]});
      });
      var camera = bar.closest(".row").dataset.camera;
      groups.filter(function (g) { return g.items.length > 1; }).forEach(function (g) {
        var first = g.items[0].mark, times = g.items.map(function (p) { return p.mark.dataset.start; }).sort();
        var button = el("button", {
          type: "button", "class": "cluster",
          style: "left:" + (100 * g.left / width) + "%;width:" + (100 * (g.right - g.left) / width) + "%",
          "aria-label": g.items.length + " events of " + camera + " from " + times[0].slice(11, 19) + " to " +
                        times[times.length - 1].slice(11, 19) + ": zoom in",
          title: g.items.length + " events from " + times[0].slice(11, 19) + ": click to zoom in",
          "data-href": timelineAt(finer, localTime(first.dataset.start))}, [String(g.items.length)]);
        g.items.forEach(function (p) { p.mark.classList.add("clustered"); });
        bar.append(button);
      });
    });
  }
  cluster();
  var pending = false;
  window.addEventListener("resize", function () {
    if (pending) return;
    pending = true;
    requestAnimationFrame(function () { pending = false; cluster(); });
  });

  line.addEventListener("click", function (ev) {
    var group = ev.target.closest(".cluster");
    if (group) { location.href = group.dataset.href; return; }
    var mark = ev.target.closest(".mark");
    if (mark) { ev.preventDefault(); playMark(mark); return; }
    var bar = ev.target.closest(".bar");
    if (!bar) return;
    var box = bar.getBoundingClientRect();
    chosen = -1;
    updateSteps();
    playFrom(bar.parentNode, (ev.clientX - box.left) / box.width * seconds);
  });

  // The scrub bar: where it is let go, the recording there plays; as the video plays, it follows.
  scrub.addEventListener("input", function () { scrubbing = true; at.textContent = clockAt(Number(scrub.value)); });
  scrub.addEventListener("change", function () {
    scrubbing = false;
    chosen = -1;
    updateSteps();
    playFrom(row, Number(scrub.value));
  });
  video.addEventListener("timeupdate", function () {
    if (span && !video.paused) show(Number(span.dataset.first) + video.currentTime);
  });
  // At a segment's end the next one of the camera plays from its first frame.
  video.addEventListener("ended", function () {
    if (!span) return;
    var list = spansOf(row), next = list[list.indexOf(span) + 1];
    if (next && Number(next.dataset.first) < seconds) playSpan(row, next, Number(next.dataset.first));
  });

  document.addEventListener("keydown", function (ev) {
    if (ev.ctrlKey || ev.metaKey || ev.altKey || ev.target.closest("input, select, textarea")) return;
    if (ev.key === "j") step(1);
    else if (ev.key === "k") step(-1);
    else if ((ev.key === "+" || ev.key === "=") && zoomIn) location.href = zoomIn.href;
    else if (ev.key === "-" && zoomOut) location.href = zoomOut.href;
    else return;
    ev.preventDefault();
  });
}

// --- the live cameras: each tile's state followed, a camera disabled or enabled -------------------
var STATES = {lost: "signal lost"};
function followLive() {
  var grid = document.querySelector(".live");
  var every = (Number(document.body.dataset.poll) || 4) * 1000;

  function show(c) {
    var tile = grid.querySelector('.tile[data-camera="' + CSS.escape(c.name) + '"]');
    if (!tile) return;
    var off = c.state === "disabled", img = tile.querySelector("img"), button = tile.querySelector(".switch");
    tile.dataset.state = c.state;
    tile.querySelector('[data-field="state"]').textContent = STATES[c.state] || c.state;
    var src = off ? grid.dataset.offline : img.dataset.live;
    if (img.getAttribute("src") !== src) img.setAttribute("src", src);
    button.dataset.action = off ? "enable" : "disable";
    button.textContent = off ? "Enable" : "Disable";
    var error = tile.querySelector('[data-field="last_error"]');
    error.textContent = c.last_error || "";
    error.hidden = !c.last_error || c.state === "recording" || off;
  }

  grid.addEventListener("click", function (ev) {
    var button = ev.target.closest(".switch");
    if (!button) return;
    var tile = button.closest(".tile"), error = tile.querySelector('[data-field="last_error"]');
    button.disabled = true;
    fetch(url("api_camera_" + button.dataset.action, {name: button.dataset.camera}),
          {method: "POST", credentials: "same-origin", headers: {Accept: "application/json"}})
      .then(function (r) {
        return r.json().then(function (body) {
          if (!r.ok) throw new Error(body.error || String(r.status));
          show(body);
        });
      })
      .catch(function (e) { error.textContent = e.message; error.hidden = false; })
      .finally(function () { button.disabled = false; });
  });

  function poll() {
    getJSON(url("api_cameras")).then(function (cameras) { cameras.forEach(show); })
      .catch(function () { /* the server away for a moment: the next poll tries again */ })
      .finally(function () { setTimeout(poll, every); });
  }
  setTimeout(poll, every);
}

document.addEventListener("DOMContentLoaded", function () {
  var page = document.body.dataset.page;
  if (page === "live" && document.querySelector(".live")) followLive();
  if (page === "overview" && document.getElementById("latest")) followOverview();
  if (page === "timeline" && document.querySelector(".timeline")) playTimeline();
});
