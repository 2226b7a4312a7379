"""The web view in a real browser: Debian's chromium, headless, driven by Selenium through Debian's
chromedriver (scripts/setup-system.sh installs both; without them these tests skip). What a
person sees: both cameras and the events' pictures, a clip that plays, the timeline's marks at
their times, a new event arriving without a reload, no sideways scrolling on a phone, a camera
switched off and on from the live page.

With QUARRIN_SCREENSHOTS=DIR the pages are also saved there as PNGs, at a desktop's and a
phone's width (the README's screenshots: QUARRIN_SCREENSHOTS=docs)."""
import datetime
import json
import os
import shutil
import time
import urllib.parse
import urllib.request

import pytest

import webfootage
import parts

# Pages in a browser depend on no Python or NumPy version: one session runs them.
pytestmark = pytest.mark.only_in("np2")

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
WIDTHS = {"desktop": (1280, 860), "phone": (375, 812)}
WAIT = 30.0


@pytest.fixture(scope="module")
def browser():
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        parts.missing("no chromium and chromium-driver (scripts/setup-system.sh installs them)")
    webdriver = parts.module("selenium.webdriver", "selenium is not installed")
    parts.module("aiohttp", "quarrin serve needs the web extra")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM   # given, so that Selenium never looks for (or fetches) a browser
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars",
                "--autoplay-policy=no-user-gesture-required", "--no-first-run", "--disable-extensions",
                "--window-size=1280,860"):
        options.add_argument(arg)
    # The browser is not the code under test: no sanitizer runtime preloaded into it (the asan session's).
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    yield driver
    driver.quit()


def size(driver, width):
    w, h = WIDTHS[width]
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": w, "height": h, "deviceScaleFactor": 1, "mobile": width == "phone"})


def until(driver, script, *args, what=""):
    """The first true result of a script within WAIT seconds."""
    deadline = time.monotonic() + WAIT
    while True:
        found = driver.execute_script(script, *args)
        if found or time.monotonic() > deadline:
            assert found, "waited %g s for %s" % (WAIT, what or script)
            return found
        time.sleep(0.2)


def events(served):
    with urllib.request.urlopen(served.base + "/api/events?limit=1000") as r:
        return json.load(r)["events"]


PICTURES_LOADED = """
const ids = arguments[0];
return ids.every(id => {
  const img = document.querySelector('#latest .thumb[data-event-id="' + id + '"] img');
  return img && img.complete && img.naturalWidth > 0;
});"""


def test_overview_shows_the_cameras_and_pictures(browser, served):
    size(browser, "desktop")
    browser.get(served.url)
    shown = events(served)[:24]
    until(browser, PICTURES_LOADED, [e["id"] for e in shown], what="the events' pictures")
    cameras = browser.execute_script("return [...document.querySelectorAll('.camera h2')].map(h => h.textContent)")
    assert cameras == ["door", "yard"]
    thumbs = browser.execute_script("return [...document.querySelectorAll('#latest .thumb')].map(t => t.dataset.eventId)")
    assert thumbs == [e["id"] for e in shown]
    # A camera the page does not show yet (as after a reload of the service) gets its card, rendered
    # by the server's template, in its place among the others.
    card = browser.execute_script("const c = document.querySelector('.camera[data-camera=door]'); c.remove();"
                                  "return c.outerHTML")
    again = until(browser, "const c = document.querySelector('.camera[data-camera=door]');"
                           "return c && c === document.querySelector('.cameras').firstElementChild && c.outerHTML",
                  what="the card added again")
    assert again.split("<dl>")[0] == card.split("<dl>")[0]


@pytest.mark.parametrize("extension", [".mp4", ".avi"])
def test_an_event_plays_in_place(browser, served, extension):
    size(browser, "desktop")
    event = next(e for e in events(served) if e["file"].endswith(extension))
    browser.get(served.url)
    until(browser, PICTURES_LOADED, [event["id"]])
    browser.find_element("css selector", '#latest .thumb[data-event-id="%s"]' % event["id"]).click()
    if extension == ".mp4":
        played = until(browser, "const v = document.querySelector('video.clip');"
                                "return v && v.currentTime > 0.5 && v.videoWidth > 0 && [v.currentTime, v.src]",
                       what="the clip playing")
        assert played[1].endswith(event["clip_url"])
    else:
        # Browsers do not play MJPG: its picture, and the video to download.
        link = until(browser, "const a = document.querySelector('a[download]'), img = document.querySelector('img.clip');"
                              "return img && img.complete && img.naturalWidth > 0 && a && a.href")
        assert link.endswith(event["clip_url"].partition("#")[0])


def test_the_timeline_marks_each_event_at_its_time(browser, served):
    size(browser, "desktop")
    found = events(served)
    day = found[0]["start"][:10]
    browser.get(served.url + "timeline?day=" + day)
    marks = browser.execute_script("""
        return [...document.querySelectorAll('.mark')].map(m => {
          const bar = m.closest('.bar').getBoundingClientRect(), r = m.getBoundingClientRect();
          return [m.dataset.eventId, m.closest('.row').dataset.camera, (r.left - bar.left) / bar.width, m.title];
        })""")
    on_day = [e for e in found if e["start"][:10] <= day <= e["end"][:10]]
    assert sorted(m[0] for m in marks) == sorted(e["id"] for e in on_day)
    for id, camera, share, title in marks:
        e = next(e for e in on_day if e["id"] == id)
        start = datetime.datetime.fromisoformat(e["start"])
        assert camera == e["camera"] and title.startswith(start.strftime("%H:%M:%S"))
        midnight = datetime.datetime.combine(start.date(), datetime.time())
        assert share == pytest.approx((start - midnight).total_seconds() / 86400, abs=0.002)
    # A mark clicked plays its event's clip beside the timeline.
    mp4 = next(e for e in on_day if e["playable"])
    # (a script's click: at a day's scale, marks seconds apart lie on top of one another)
    browser.execute_script("arguments[0].click()", browser.find_element("css selector", '.mark[data-event-id="%s"]'
                                                                        % mp4["id"]))
    src = until(browser, "const v = document.querySelector('.player video');"
                         "return v && v.currentTime > 0.3 && v.src", what="the timeline's player")
    assert src.endswith(mp4["clip_url"])


def test_a_new_event_appears_without_a_reload(browser, served, footage):
    size(browser, "desktop")
    browser.get(served.url)
    browser.execute_script("window.notReloaded = true")
    before = {e["id"] for e in events(served)}
    webfootage.record(str(footage.root), "door", ".mp4", 0, 0, str(footage.work))
    deadline = time.monotonic() + WAIT   # the server looks at the files again within seconds
    while True:
        new = [e["id"] for e in events(served) if e["id"] not in before]
        if len(new) == 2 or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    assert len(new) == 2
    until(browser, PICTURES_LOADED, new, what="the new events on the overview")
    assert browser.execute_script("return window.notReloaded === true")


@pytest.mark.parametrize("page", ["overview", "events", "timeline", "hour", "5min", "event", "missing", "storage"])
@pytest.mark.parametrize("width", ["phone", "desktop"])
def test_pages_fit_the_width(browser, served, page, width):
    found = events(served)
    day = found[0]["start"][:10]
    path = {"overview": "", "events": "events?day=" + day, "timeline": "timeline?day=" + day,
            "hour": "timeline?zoom=hour&day=%s&hour=%d" % (day, int(found[0]["start"][11:13])),
            "5min": five_minutes(datetime.datetime.fromisoformat(found[0]["start"])), "missing": "nowhere",
            "storage": "storage",
            "event": "events/" + next(e for e in found if e["playable"])["id"]}[page]
    size(browser, width)
    browser.get(served.url + path)
    until(browser, "return [...document.images].every(i => i.complete)", what="the pictures")
    widths = browser.execute_script("const d = document.documentElement; return [d.scrollWidth, d.clientWidth]")
    assert widths[0] <= widths[1]
    folder = os.environ.get("QUARRIN_SCREENSHOTS")
    if folder and page in ("overview", "events", "timeline", "storage"):
        os.makedirs(folder, exist_ok=True)
        if page == "timeline":   # the player open, as after a click on a mark
            browser.execute_script("document.querySelector('.mark').click()")
            until(browser, "const v = document.querySelector('.player video'); return v && v.currentTime > 1")
            browser.execute_script("document.querySelector('.player video').pause()")
        shot = os.path.join(folder, "web-%s-%s.png" % (page, width))
        browser.save_screenshot(shot + ".tmp.png")
        shutil.move(shot + ".tmp.png", shot)


TILE = """
const tile = document.querySelector('.tile[data-camera="door"]'), img = tile && tile.querySelector('img');
return tile && tile.dataset.state === arguments[0] && img.complete && img.naturalWidth > 0
  && tile.querySelector('[data-field="state"]').textContent === arguments[0] && tile.querySelector('.switch').textContent;"""


def test_a_camera_switched_off_and_on_from_the_live_page(browser, tmp_path):
    """Under the service: the live grid fits a phone and a desktop, its button disables the camera
    (its recorder stopped, the tile says so) and enables it again."""
    from mjpeg_server import MjpegServer
    from test_service import GOOD, cameras, start_service, wait_for

    with MjpegServer(fps=10) as door:
        config = tmp_path / "cameras.toml"
        config.write_text(GOOD.format(url=door.url))
        service, base = start_service(tmp_path, config)
        try:
            wait_for(base, lambda c: c["door"]["state"] == "recording", what="door recording")
            for width in ("desktop", "phone"):
                size(browser, width)
                browser.get(base + "/live")
                assert until(browser, TILE, "recording", what="the tile recording") == "Disable"
                widths = browser.execute_script("const d = document.documentElement; "
                                                "return [d.scrollWidth, d.clientWidth]")
                assert widths[0] <= widths[1], width
            browser.find_element("css selector", ".tile .switch").click()
            assert until(browser, TILE, "disabled", what="the tile disabled") == "Enable"
            assert cameras(base)["door"]["pid"] is None
            browser.find_element("css selector", ".tile .switch").click()
            wait_for(base, lambda c: c["door"]["state"] == "recording", what="door recording again")
            assert until(browser, TILE, "recording", what="the tile recording again") == "Disable"
        finally:
            service.kill()
            service.communicate()


@pytest.fixture(scope="module")
def lane(tmp_path_factory):
    """A camera recorded from a file four years ago, in segments of 2 s: two events, the second one
    beginning in one segment and going on into the next."""
    import quarrin

    parts.module("av", "the web view's tests record H.264 through PyAV")
    work = tmp_path_factory.mktemp("lane")
    source = webfootage.clip(str(work / "lane.avi"), 0, time.time() - 4 * 365 * 86400)
    result = quarrin.record(source, str(work / "cams" / "lane" / "%Y-%m-%d" / "lane-%H%M%S.mp4"),
                            segment_frames=20, **webfootage.MOTION)
    assert len(result.segments) >= 3 and len(result.events) == 2
    server = webfootage.Server(work / "cams", "--listen", "127.0.0.1:0")
    yield server, result
    server.stop()


def five_minutes(moment):
    return "timeline?" + urllib.parse.urlencode({"day": moment.date().isoformat(), "zoom": "5min",
                                                 "hour": moment.hour, "minute": moment.minute // 5 * 5})


PLAYING = """const v = document.querySelector('.player video');
return v && !v.hidden && v.readyState >= 2 && v.currentTime > arguments[1] && v.src.split('#')[0].endsWith(arguments[0])
  && [v.currentTime, Number(document.querySelector('.scrub input').value)]"""


def test_scrubbing_plays_across_a_segment_boundary(browser, lane):
    server, result = lane
    size(browser, "desktop")
    first, second = result.segments[:2]
    browser.get(server.url + five_minutes(first.first))
    window = browser.execute_script("return document.querySelector('.timeline').dataset.start")
    start = datetime.datetime.fromisoformat(window)
    near_end = (first.last - start).total_seconds() - 0.4
    # The scrub bar let go near the end of the first segment: it plays, then the next one from its first frame.
    browser.execute_script("const s = document.querySelector('.scrub input'); s.value = arguments[0];"
                           "s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'))", near_end)
    name = lambda segment: "/" + os.path.basename(segment.video)   # noqa: E731
    until(browser, PLAYING, name(first), 0.0, what="the first segment playing")
    at, position = until(browser, PLAYING, name(second), 0.3, what="the next segment playing after the first")
    assert position >= (second.first - start).total_seconds() + 0.2
    assert position == pytest.approx((second.first - start).total_seconds() + at, abs=0.6)


def test_next_and_previous_event_by_keys(browser, lane):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    server, result = lane
    size(browser, "desktop")
    with urllib.request.urlopen(server.base + "/api/events") as r:
        found = json.load(r)["events"][::-1]   # oldest first
    browser.get(server.url + five_minutes(result.events[0].start))
    chosen = []
    for key in "jjkk":
        ActionChains(browser).send_keys(key).perform()
        chosen.append(until(browser, "const m = document.querySelector('.mark.playing'),"
                                     "v = document.querySelector('.player video');"
                                     "return m && v.src.endsWith(m.dataset.clip) && m.dataset.eventId"))
        time.sleep(0.3)
    # Past the first event, k stays on it.
    assert chosen == [found[0]["id"], found[1]["id"], found[0]["id"], found[0]["id"]]
    assert browser.execute_script("return document.querySelector('.previous-event').disabled") is True
    # The buttons do the same, from the keyboard too.
    browser.execute_script("document.querySelector('.next-event').focus()")
    ActionChains(browser).send_keys(Keys.ENTER).perform()
    until(browser, "return document.querySelector('.mark.playing').dataset.eventId === arguments[0]", found[1]["id"])


def test_a_cluster_zooms_in_until_the_marks_are_buttons_of_their_own(browser, lane):
    server, result = lane
    size(browser, "desktop")
    with urllib.request.urlopen(server.base + "/api/events") as r:
        ids = sorted(e["id"] for e in json.load(r)["events"])
    # The overview of files recorded long ago points to their day, and the timeline opens there.
    browser.get(server.url)
    browser.find_element("css selector", ".newest-day a[href^='/timeline']").click()
    zooms = []
    for _ in range(4):
        state = until(browser, "const t = document.querySelector('.timeline');"
                               "return t && [t.dataset.zoom, [...document.querySelectorAll('.cluster')].map("
                               "c => [c.textContent, c.getAttribute('aria-label')])]")
        zooms.append(state[0])
        if not state[1]:
            break
        assert [c[0] for c in state[1]] == ["2"] and state[1][0][1].startswith("2 events of lane from ")
        browser.find_element("css selector", ".cluster").click()
        until(browser, "return document.querySelector('.timeline').dataset.zoom !== arguments[0]", state[0])
    assert zooms[0] == "day" and zooms[-1] == "5min"
    assert browser.execute_script("return document.querySelector('input[name=day]').value") == \
        result.events[0].start.date().isoformat()
    marks = browser.execute_script("""return [...document.querySelectorAll('.mark')].map(m => {
        const r = m.getBoundingClientRect();
        return [m.tagName, m.dataset.eventId, m.getAttribute('aria-label'), getComputedStyle(m).visibility, r.left, r.width];
      }).sort((a, b) => a[4] - b[4])""")
    assert sorted(m[1] for m in marks) == ids
    assert all(m[0] == "BUTTON" and m[2].startswith("lane, ") and m[3] == "visible" and m[5] >= 8 for m in marks)
    assert marks[0][4] + 8 <= marks[1][4]
    # Each reached by the keyboard, with a visible focus.
    for m in browser.find_elements("css selector", ".mark"):
        browser.execute_script("arguments[0].focus()", m)
        style = browser.execute_script("const s = getComputedStyle(document.activeElement);"
                                       "return [document.activeElement === arguments[0], s.outlineStyle, s.outlineWidth]", m)
        assert style[0] and style[1] != "none" and style[2] != "0px"


def test_reviewing_from_the_page_changes_the_count(browser, footage, tmp_path):
    """Marked reviewed by a button, then all of the day at once: the count in the menu follows,
    and the page still fits a phone."""
    root = tmp_path / "cams"
    shutil.copytree(footage.root, root, ignore=shutil.ignore_patterns(".quarrin"))
    server = webfootage.Server(root, "--listen", "127.0.0.1:0")
    try:
        size(browser, "phone")
        browser.get(server.url + "events")
        count = "const c = document.querySelector('[data-unreviewed]'); return c && !c.hidden && Number(c.textContent)"
        total = until(browser, count, what="the count of unreviewed events")
        cards = browser.execute_script("return document.querySelectorAll('.card[data-event-id]').length")
        assert total == len(events(server)) and cards >= 2
        browser.find_element("css selector", '.card [data-action="review"]').click()
        until(browser, "return document.querySelector('.card').classList.contains('reviewed') && "
                       "Number(document.querySelector('[data-unreviewed]').textContent) === arguments[0]",
              total - 1, what="the count after one is reviewed")
        widths = browser.execute_script("const d = document.documentElement; return [d.scrollWidth, d.clientWidth]")
        assert widths[0] <= widths[1]
        browser.find_element("css selector", '[data-action="review-all"]').click()
        until(browser, "return Number(document.querySelector('[data-unreviewed]').textContent) === arguments[0]",
              total - cards, what="the count after the day is reviewed")
        # Reviewed, they are no longer among the unreviewed ones.
        shown = "return [...document.querySelectorAll('.card[data-event-id]')].map(c => c.dataset.eventId)"
        before = browser.execute_script(shown)
        browser.get(server.url + "events")
        assert not set(before) & set(browser.execute_script(shown))
    finally:
        server.stop()
