// quarrin's web view: the review marks. The count of unreviewed events in the navigation, and the
// buttons that mark an event reviewed, keep it from the disk budget or delete it.
"use strict";

(function () {
  var routes = JSON.parse(document.body.dataset.routes || "{}");
  function path(name, id) { return routes[name].replace(/\{id[^}]*\}/, encodeURIComponent(id)); }

  function send(method, url, body) {
    var options = {method: method, credentials: "same-origin", headers: {Accept: "application/json"}};
    if (body !== undefined) {
      options.headers["Content-Type"] = "application/json";
      options.body = JSON.stringify(body);
    }
    return fetch(url, options).then(function (r) {
      return r.json().catch(function () { return {}; }).then(function (data) {
        if (!r.ok) throw new Error(data.error || r.status + " " + r.statusText);
        return data;
      });
    });
  }

  var count = document.querySelector("[data-unreviewed]");
  function recount() {
    if (!count || !routes.api_events) return;
    send("GET", routes.api_events + "?reviewed=0&limit=1").then(function (found) {
      count.textContent = String(found.total);
      count.hidden = false;
    }).catch(function () { /* the count stays as it was */ });
  }

  function reviewed(card) {
    card.classList.add("reviewed");
    var button = card.querySelector('[data-action="review"]');
    if (button) { button.disabled = true; button.textContent = "Reviewed"; }
  }

  document.addEventListener("click", function (ev) {
    var button = ev.target.closest("button[data-action]");
    if (!button) return;
    var card = button.closest("[data-event-id]"), id = card && card.dataset.eventId;
    var action = button.dataset.action, done;
    if (action === "review") {
      done = send("POST", path("api_review", id)).then(function () { reviewed(card); });
    } else if (action === "keep") {
      var kept = button.getAttribute("aria-pressed") === "true";
      done = send(kept ? "DELETE" : "POST", path("api_keep", id)).then(function () {
        button.setAttribute("aria-pressed", kept ? "false" : "true");
        button.textContent = kept ? "Keep" : "Kept";
        card.classList.toggle("kept", !kept);
      });
    } else if (action === "delete") {
      if (!window.confirm("Delete this event: its picture, its own clip, and its row in the event list?")) return;
      done = send("DELETE", path("api_event", id)).then(function () {
        if (button.dataset.after) window.location.assign(button.dataset.after);
        else card.remove();
      });
    } else if (action === "review-all") {
      done = send("POST", routes.api_review_all, JSON.parse(button.dataset.filter || "{}")).then(function () {
        document.querySelectorAll(".card[data-event-id]").forEach(reviewed);
        button.disabled = true;
      });
    } else {
      return;
    }
    button.classList.add("busy");
    done.then(recount, function (error) { window.alert(error.message); })
      .finally(function () { button.classList.remove("busy"); });
  });

  document.addEventListener("DOMContentLoaded", recount);
})();
