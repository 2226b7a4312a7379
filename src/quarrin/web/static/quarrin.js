// quarrin's web view: the overview follows new events, the timeline plays what is clicked.
// Everything it shows comes from the JSON API; text goes in as text, never as markup.
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
      if (!card) {
        var link = url("events", {}, {camera: c.name});
        card = el("article", {"class": "camera", "data-camera": c.name}, [
          el("a", {"class": "picture", href: link}, [el("img", {alt: c.name})]),
          el("h2", {}, [c.name]),
          el("dl", {}, [el("dt", {}, ["Last frame"]), el("dd", {"data-field": "last_frame"}),
                        el("dt", {}, ["Last event"]), el("dd", {"data-field": "last_event"}),
                        el("dt", {}, ["Today"]), el("dd", {"data-field": "events_today"})]),
          el("p", {"class": "links"}, [el("a", {href: link}, ["Events"]), " · ",
                                       el("a", {href: url("timeline", {}, {camera: c.name})}, ["Timeline"])])]);
        var empty = list.querySelector(".empty");
        if (empty) empty.remove();
        list.append(card);
      }
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
function playTimeline() {
  var line = document.querySelector(".timeline");
  var player = document.querySelector(".player"), video = player.querySelector("video");
  var caption = player.querySelector(".caption");
  var seconds = Number(line.dataset.seconds), start = new Date(line.dataset.start);

  function clockAt(offset) {
    var t = new Date(start.getTime() + offset * 1000);
    return pad(t.getHours()) + ":" + pad(t.getMinutes()) + ":" + pad(t.getSeconds());
  }

  function play(url, text) {
    player.hidden = false;
    caption.textContent = text;
    video.src = url;
    var started = video.play();
    if (started && started.catch) started.catch(function () {});
    player.scrollIntoView({block: "nearest"});
  }

  function offer(text, url) {
    player.hidden = false;
    video.removeAttribute("src");
    video.load();
    caption.textContent = text + " ";
    if (url) caption.append(el("a", {href: url, download: ""}, ["Download the video"]));
  }

  line.addEventListener("click", function (ev) {
    var mark = ev.target.closest(".mark");
    if (mark) {
      ev.preventDefault();
      line.querySelectorAll(".mark.playing").forEach(function (m) { m.classList.remove("playing"); });
      mark.classList.add("playing");
      var clip = mark.dataset.clip;
      if (clip && mark.dataset.playable === "yes") play(clip, mark.title);
      else offer(mark.title + ": this video does not play in a browser.", clip && clip.split("#")[0]);
      return;
    }
    var bar = ev.target.closest(".bar");
    if (!bar) return;
    var box = bar.getBoundingClientRect();
    var at = (ev.clientX - box.left) / box.width * seconds;
    var covering = Array.prototype.find.call(bar.querySelectorAll(".span"), function (s) {
      return Number(s.dataset.first) <= at && at <= Number(s.dataset.last);
    });
    if (!covering) { offer("Nothing recorded at " + clockAt(at) + "."); return; }
    var from = Math.max(0, at - Number(covering.dataset.first));
    if (!covering.dataset.url) offer(clockAt(at) + ": the video of this recording is gone.");
    else if (covering.dataset.playable !== "yes")
      offer(clockAt(at) + ": this video does not play in a browser.", covering.dataset.url);
    else play(covering.dataset.url + "#t=" + from.toFixed(1), bar.parentNode.dataset.camera + " from " + clockAt(at));
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
