"""The explorer page in a real browser: headless Chromium driven by Selenium.
python3 page_test.py PROFILE_QUERY REPORT MANY_GROUPS_REPORT SCREENSHOT GENERATED_REPORT BASE_REPORT

Without Selenium or Chromium the test is skipped (exit 77), unless
ZUN_REQUIRE_BROWSER is set, as in CI, where it fails instead."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

from server import Server

SKIP = 77
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
EXE = REPORT = MANY = SCREENSHOT = GENERATED = BASE = None


def browser():
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1400,1000"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def cli_groups(report, options):
    out = subprocess.run([EXE, report, "--format", "json"] + options,
                         check=True, capture_output=True).stdout
    return [group["name"] for group in json.loads(out)["groups"]]


def gate_failures(base, new, percent):
    """The groups `diff --fail-above` names: the comparison view marks them."""
    done = subprocess.run([EXE, "diff", base, new, "--fail-above", str(percent)],
                          capture_output=True, text=True)
    assert done.returncode in (0, 3), done.stderr
    return sorted(json.loads(line.strip().split(": ")[0])
                  for line in done.stderr.splitlines() if line.startswith("  \""))


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.driver = browser()
        cls.wait = WebDriverWait(cls.driver, 30)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()

    def table_names(self):
        # Read in one script: the page replaces the table body as it goes.
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll("
            "'#groups tbody td.name'), (cell) => cell.textContent);")

    def count(self, selector):
        return self.driver.execute_script(
            "return document.querySelectorAll(arguments[0]).length;", selector)

    def wait_for_names(self, expected):
        try:
            self.wait.until(lambda d: self.table_names() == expected)
        except Exception:
            self.fail("table shows %r, expected %r" % (self.table_names(), expected))

    def wait_until_idle(self):
        self.wait.until(lambda d: "busy" not in d.find_element(
            By.TAG_NAME, "body").get_attribute("class"))

    def assert_no_browser_errors(self):
        errors = [entry for entry in self.driver.get_log("browser")
                  if entry["level"] == "SEVERE"]
        self.assertEqual(errors, [])

    def test_explore_group_go_back_and_bookmark(self):
        with Server(EXE, REPORT) as server:
            driver = self.driver
            driver.get(server.url)
            self.wait_for_names(cli_groups(REPORT, []))
            self.wait_until_idle()
            # Both charts drew: a bar per group, an area per series.
            self.assertEqual(self.count("#bars rect.bar"), len(cli_groups(REPORT, [])))
            self.assertGreaterEqual(self.count("#activity path.area"), 1)
            self.assertIn("samples", driver.find_element(By.ID, "figures").text)
            driver.save_screenshot(SCREENSHOT)

            # Group by phase: new rows, and the address says so.
            Select(driver.find_element(By.NAME, "group-by")).select_by_value("phase")
            self.wait_for_names(cli_groups(REPORT, ["--group-by", "phase"]))
            self.assertIn("group-by=phase", driver.current_url)

            # A header click sorts by it.
            driver.find_element(By.XPATH, "//th[text()='samples']").click()
            self.wait_for_names(cli_groups(REPORT, ["--group-by", "phase",
                                                    "--sort-by", "samples"]))
            self.assertIn("sort-by=samples", driver.current_url)

            # Back and forward walk the history of requests.
            driver.back()
            self.wait_for_names(cli_groups(REPORT, ["--group-by", "phase"]))
            driver.back()
            self.wait_for_names(cli_groups(REPORT, []))
            self.assertEqual(Select(driver.find_element(By.NAME, "group-by"))
                             .first_selected_option.get_attribute("value"), "kernel")
            driver.forward()
            self.wait_for_names(cli_groups(REPORT, ["--group-by", "phase"]))

            # A bookmarked address opens the same view, controls included.
            options = ["--group-by", "tile", "--sort-by", "name", "--kind", "compute",
                       "--samples", "2"]
            query = urllib.parse.urlencode(
                [(options[i][2:], options[i + 1]) for i in range(0, len(options), 2)])
            driver.get(server.url + "?" + query)
            self.wait_for_names(cli_groups(REPORT, options))
            self.wait_until_idle()
            self.assertEqual(driver.find_element(By.NAME, "kind").get_attribute("value"),
                             "compute")
            self.assertEqual(self.count("#samples tbody tr"), 2)
            # Every column of a group row, the dimensions included.
            self.assertEqual(self.count("#groups thead th"), 15)
            self.assertEqual(
                driver.execute_script("return document.querySelector("
                                      "'#groups tbody td.text').textContent;"),
                "physicalTile=" + cli_groups(REPORT, options)[0].split()[1])

            # A refused request is shown, not swallowed.
            driver.get(server.url + "?tile=x")
            self.wait.until(lambda d: d.find_element(By.ID, "error").is_displayed())
            self.assertIn("parameter 'tile'",
                          driver.find_element(By.ID, "error").text)
            self.driver.get_log("browser")  # the 400 is logged, as it should be

    def timeline_ready(self):
        return self.driver.execute_script(
            "return Timeline.state() !== null && !document.body.classList.contains('busy');")

    def test_timeline_draws_zooms_tells_and_filters(self):
        with Server(EXE, REPORT) as server:
            driver = self.driver
            driver.get(server.url)
            self.wait.until(lambda d: self.timeline_ready())
            canvas = driver.find_element(By.ID, "timeline")
            # It drew: coloured pixels in the rows, a row per tile.
            painted = driver.execute_script("""
                const c = document.getElementById('timeline');
                const data = c.getContext('2d').getImageData(
                    Timeline.LABELS, Timeline.RULER, c.width - Timeline.LABELS,
                    c.height - Timeline.RULER).data;
                let n = 0;
                for (let i = 3; i < data.length; i += 4) if (data[i] > 0) ++n;
                return n;""")
            self.assertGreater(painted, 1000)
            rows = driver.execute_script("return Timeline.state().answer.rows.length;")
            self.assertEqual(rows, 2)

            # The pointer on a bar: a tooltip with the sample's fields.
            def point_at(row, index):
                x, y, label = driver.execute_script("""
                    const s = Timeline.state();
                    const [offset, duration, group] = s.answer.rows[arguments[0]].samples[arguments[1]];
                    const h = Timeline.rowHeight(s.answer.rows.length);
                    return [Timeline.xOf(offset + duration / 2),
                            Timeline.RULER + arguments[0] * h + h / 2, s.answer.groups[group]];""",
                    row, index)
                ActionChains(driver).move_to_element_with_offset(
                    canvas, int(x - canvas.size["width"] / 2),
                    int(y - canvas.size["height"] / 2)).perform()
                return label
            label = point_at(0, 1)
            tip = driver.find_element(By.ID, "timeline-tip")
            self.wait.until(lambda d: tip.is_displayed() and "operation" in tip.text)
            self.assertIn("kernel", tip.text)
            self.assertIn("tile 0 (entry 0)", tip.text)

            # + zooms in: the window goes into the address bar; back undoes it.
            driver.execute_script("arguments[0].focus();", canvas)
            ActionChains(driver).send_keys("+").perform()
            self.wait.until(lambda d: "from=" in d.current_url and "to=" in d.current_url)
            self.wait.until(lambda d: self.timeline_ready())
            zoomed = driver.execute_script("const s = Timeline.state(); return s.to - s.from;")
            span = json.loads(server.get("/api/report")[2])["profile_span_cycles"]
            self.assertLess(zoomed, span * 0.6)
            driver.back()
            self.wait.until(lambda d: "from=" not in d.current_url)

            # A click on a bar filters to its group.
            self.wait.until(lambda d: self.timeline_ready())
            label = point_at(0, 1)
            ActionChains(driver).click().perform()
            self.wait.until(lambda d: "kernel=" in d.current_url)
            self.wait_for_names([label])
            self.assert_no_browser_errors()

    def test_ten_thousand_groups_stay_readable(self):
        with Server(EXE, MANY) as server:
            self.driver.get(server.url + "?group-by=tile")
            self.wait.until(lambda d: "more groups are not shown" in
                            d.find_element(By.ID, "hidden-rows").text)
            self.wait_until_idle()
            hidden = self.driver.find_element(By.ID, "hidden-rows").text
            self.assertEqual(self.count("#groups tbody tr"), 500)
            self.assertTrue(hidden.startswith("9,500 more groups"), hidden)
            self.assert_no_browser_errors()

    # ----- helpers of the timeline's tests -----

    def load(self, server, query=""):
        self.driver.get(server.url + query)
        self.wait.until(lambda d: self.timeline_ready())

    def rows_shown(self):
        return self.driver.execute_script(
            "return Timeline.state().answer.rows.map((row) => row.physical);")

    def wait_for_rows(self, predicate, what):
        try:
            self.wait.until(lambda d: self.timeline_ready() and predicate(self.rows_shown()))
        except Exception:
            self.fail("timeline rows %r: expected %s" % (self.rows_shown()[:10], what))

    def press(self, *keys):
        ActionChains(self.driver).send_keys(*keys).perform()

    def colours(self, selector, name_of):
        """{group name: colour} of the elements `selector` finds."""
        return self.driver.execute_script("""
            const out = {};
            for (const node of document.querySelectorAll(arguments[0])) {
              out[%s] = node.getAttribute('fill') || node.style.background;
            }
            return out;""" % name_of, selector)

    def test_every_group_its_colour_whatever_the_order(self):
        with Server(EXE, GENERATED) as server:
            self.load(server)
            names = cli_groups(GENERATED, [])
            self.assertEqual(len(names), 24)
            bars = self.colours("#bars rect.bar", "node.querySelector('title')"
                                ".textContent.split(':')[0]")
            self.assertEqual(sorted(bars), sorted(names))
            self.assertEqual(len(set(bars.values())), 24, bars)
            # The activity chart draws all 24 in the same colours, no "other".
            areas = self.colours("#activity path.area", "node.querySelector('title').textContent")
            self.assertEqual(areas, bars)
            # So do the timeline and its legend.
            legend = self.driver.execute_script("""
                const out = {};
                for (const item of document.querySelectorAll('#timeline-legend li')) {
                  const swatch = item.querySelector('.swatch');
                  if (swatch) out[item.textContent] = getComputedStyle(swatch).backgroundColor;
                }
                return out;""")
            self.assertGreater(len(legend), 1)
            shown = self.driver.execute_script("""
                const out = {};
                for (const [name, colour] of Object.entries(arguments[0])) {
                  const probe = document.createElement('span');
                  probe.style.background = colour;
                  document.body.append(probe);
                  out[name] = getComputedStyle(probe).backgroundColor;
                  probe.remove();
                }
                return out;""", bars)
            for name, colour in legend.items():
                self.assertEqual(colour, shown[name], name)

            # Sorted by name: other bars in other places, each its colour.
            self.driver.find_element(By.XPATH, "//th[text()='name']").click()
            self.wait_for_names(cli_groups(GENERATED, ["--sort-by", "name"]))
            self.wait_until_idle()
            resorted = self.colours("#bars rect.bar", "node.querySelector('title')"
                                    ".textContent.split(':')[0]")
            self.assertEqual(resorted, bars)
            # Filtered to one kind: the groups left keep theirs too.
            Select(self.driver.find_element(By.NAME, "kind")).select_by_value("compute")
            self.wait_for_names(cli_groups(GENERATED, ["--sort-by", "name", "--kind", "compute"]))
            self.wait_until_idle()
            for name, colour in self.colours(
                    "#bars rect.bar", "node.querySelector('title').textContent.split(':')[0]").items():
                self.assertEqual(colour, bars[name], name)
            self.assert_no_browser_errors()

    def test_moving_through_tiles(self):
        # 10,000 tiles of two samples each.
        with Server(EXE, MANY) as server:
            driver = self.driver
            self.load(server)
            first = self.rows_shown()
            self.assertEqual(len(first), 64)
            # Every row is numbered where rows are tall enough for it.
            height = driver.execute_script("return Timeline.rowHeight(64);")
            self.assertGreaterEqual(height, 10)

            # The first Tab reaches the way to the timeline, Enter goes there.
            self.press(Keys.TAB)
            self.assertEqual(driver.switch_to.active_element.get_attribute("id"), "skip")
            self.press(Keys.ENTER)
            self.assertEqual(driver.switch_to.active_element.get_attribute("id"), "timeline")

            # Down one tile, a page down, back up one: the rows follow.
            self.press(Keys.ARROW_DOWN)
            self.wait_for_rows(lambda rows: rows == first[1:] + rows[63:], "one tile down")
            self.assertIn("tiles=1-64", driver.current_url)
            self.press(Keys.PAGE_DOWN)
            self.wait_for_rows(lambda rows: rows[0] == first[0] + 64, "a page down")
            self.press(Keys.ARROW_UP)
            self.wait_for_rows(lambda rows: rows[0] == first[0] + 63, "one tile up")
            # The wheel scrolls through tiles too.
            canvas = driver.find_element(By.ID, "timeline")
            ActionChains(driver).scroll_from_origin(
                ScrollOrigin.from_element(canvas), 0, 100).perform()
            self.wait_for_rows(lambda rows: rows[0] > first[0] + 63, "scrolled by the wheel")

            # Zoom stays within the span and a few cycles; f fits the span.
            span = json.loads(server.get("/api/report")[2])["profile_span_cycles"]
            self.press("-")
            self.wait.until(lambda d: "from=" in d.current_url and self.timeline_ready())
            window = driver.execute_script("const v = Timeline.view(); return [v.from, v.to];")
            self.assertEqual(window, [0, span])
            for _ in range(12):
                self.press("+")
            self.wait.until(lambda d: self.timeline_ready() and driver.execute_script(
                "const v = Timeline.view(); return v.to - v.from <= 8;"))
            self.press("+")
            self.wait.until(lambda d: self.timeline_ready())
            window = driver.execute_script("const v = Timeline.view(); return [v.from, v.to];")
            self.assertGreaterEqual(window[1] - window[0], 8)
            self.assertGreaterEqual(window[0], 0)
            self.press("f")
            self.wait.until(lambda d: self.timeline_ready() and driver.execute_script(
                "const v = Timeline.view(); return v.from === 0 && v.to === arguments[0];", span))

            # The Tiles filter chooses the rows: tile 200 alone, then three.
            tiles = driver.find_element(By.NAME, "tile")
            tiles.send_keys("200", Keys.ENTER)
            self.wait_for_rows(lambda rows: rows == [200], "tile 200's row alone")
            tiles.clear()
            tiles.send_keys("9000 5 200", Keys.ENTER)
            self.wait_for_rows(lambda rows: rows == [5, 200, 9000], "rows 5, 200 and 9000")

            # Reset clears the window and the tiles with the request.
            driver.find_element(By.ID, "clear").click()
            self.wait.until(lambda d: d.current_url == server.url)
            self.wait_for_rows(lambda rows: rows == first, "the first tiles again")
            self.assertEqual(driver.execute_script(
                "const v = Timeline.view(); return [v.from, v.to];"), [0, span])
            self.assert_no_browser_errors()

    def test_search_highlights_and_steps_through_matches(self):
        with Server(EXE, GENERATED) as server:
            driver = self.driver
            window = "from=20000&to=21000&tiles=0-7"
            self.load(server, "?" + window)
            text = "layer2/attention/key"
            # The samples the server's filter finds, by position.
            status, answer = server.get_json(
                "/api/timeline?width=%d&%s&operation-contains=%s" % (
                    driver.execute_script("return Timeline.state().width;"), window, text))
            self.assertEqual(status, 200)
            expected = sorted(s[3] for row in answer["rows"] for s in row.get("samples", []))
            self.assertGreater(len(expected), 1)
            box = driver.find_element(By.ID, "search")
            box.send_keys(text.upper(), Keys.ENTER)  # case does not matter
            status_line = driver.find_element(By.ID, "search-status")
            self.wait.until(lambda d: status_line.text.startswith("match 1 of"))
            self.assertTrue(status_line.text.startswith("match 1 of %d " % len(expected)),
                            status_line.text)
            found = driver.execute_script(
                "return Timeline.searchState().matches.map((m) => m.position);")
            self.assertEqual(sorted(found), expected)
            # A match is drawn in full colour, the rest dimmed.
            alphas = driver.execute_script("""
                const s = Timeline.state();
                const g = document.getElementById('timeline').getContext('2d');
                const h = Timeline.rowHeight(s.answer.rows.length);
                const wanted = new Set(Timeline.searchState().matches.map((m) => m.position));
                const alpha = {hit: [], miss: []};
                s.answer.rows.forEach((row, r) => {
                  for (const [offset, duration, , position] of row.samples) {
                    const x = Math.round(Timeline.xOf(offset + duration / 2));
                    const y = Math.round(Timeline.RULER + r * h + h / 2);
                    const inside = offset >= s.from && offset + duration <= s.to;
                    if (!inside || Timeline.xOf(offset + duration) - Timeline.xOf(offset) < 4) continue;
                    alpha[wanted.has(position) ? 'hit' : 'miss'].push(
                        g.getImageData(x, y, 1, 1).data[3]);
                  }
                });
                return alpha;""")
            self.assertTrue(alphas["hit"] and all(a == 255 for a in alphas["hit"]), alphas)
            self.assertTrue(alphas["miss"] and all(a < 100 for a in alphas["miss"]), alphas)
            # Enter and n step forward, N and Shift+Enter back, round the end.
            box.send_keys(Keys.ENTER)
            self.wait.until(lambda d: status_line.text.startswith("match 2 of"))
            box.send_keys(Keys.SHIFT, Keys.ENTER)
            self.wait.until(lambda d: status_line.text.startswith("match 1 of"))
            driver.execute_script("document.getElementById('timeline').focus();")
            self.press("N")
            self.wait.until(lambda d: status_line.text.startswith(
                "match %d of" % len(expected)))
            self.press("n")
            self.wait.until(lambda d: status_line.text.startswith("match 1 of"))
            # Esc ends the search: nothing dimmed.
            self.press(Keys.ESCAPE)
            self.wait.until(lambda d: status_line.text == "")
            self.assertEqual(box.get_attribute("value"), "")
            self.assert_no_browser_errors()

    def test_area_statistics_are_the_apis_for_its_cycles_and_tiles(self):
        with Server(EXE, GENERATED) as server:
            driver = self.driver
            self.load(server, "?from=20000&to=30000&tiles=0-15")
            canvas = driver.find_element(By.ID, "timeline")
            driver.execute_script("arguments[0].scrollIntoView();", canvas)
            # Shift+drag from cycle 22,000 on the third row to 26,000 on the sixth.
            x0, y0, x1, y1 = driver.execute_script("""
                const h = Timeline.rowHeight(Timeline.state().answer.rows.length);
                return [Timeline.xOf(22000), Timeline.RULER + 2 * h + h / 2,
                        Timeline.xOf(26000), Timeline.RULER + 5 * h + h / 2];""")
            left = lambda x: int(x - canvas.size["width"] / 2)
            top = lambda y: int(y - canvas.size["height"] / 2)
            (ActionChains(driver).key_down(Keys.SHIFT)
             .move_to_element_with_offset(canvas, left(x0), top(y0)).click_and_hold()
             .move_to_element_with_offset(canvas, left((x0 + x1) / 2), top((y0 + y1) / 2))
             .move_to_element_with_offset(canvas, left(x1), top(y1)).release()
             .key_up(Keys.SHIFT).perform())
            self.wait.until(lambda d: "area=" in d.current_url)
            self.wait_until_idle()
            params = urllib.parse.parse_qs(urllib.parse.urlparse(driver.current_url).query)
            start, end = map(int, params["area"][0].split("-"))
            self.assertLess(abs(start - 22000), 100)
            self.assertLess(abs(end - 26000), 100)
            rows = self.rows_shown()[2:6]
            self.assertEqual(params["area-tiles"], ["2-5"])
            # The table is the API's answer for those cycles on those tiles.
            query = urllib.parse.urlencode(
                [("from", start), ("to", end)] + [("tile", t) for t in rows])
            status, answer = server.get_json("/api/query?" + query)
            self.assertEqual(status, 200)
            names = [g["name"] for g in answer["groups"]]
            self.assertLess(answer["matched_sample_count"], answer["sample_count"] / 10)
            self.wait_for_names(names)
            counts = driver.execute_script(
                "return Array.from(document.querySelectorAll('#groups tbody tr'),"
                " (row) => row.cells[2].textContent);")
            self.assertEqual(counts, ["{:,}".format(g["sample_count"]) for g in answer["groups"]])
            bar = driver.find_element(By.ID, "area-bar")
            self.assertTrue(bar.is_displayed())
            self.assertIn("tiles %d\u2013%d" % (rows[0], rows[-1]), bar.text)
            self.assertIn("cycles %s\u2013%s" % ("{:,}".format(start), "{:,}".format(end)), bar.text)
            # Esc removes it: every sample again.
            self.press(Keys.ESCAPE)
            self.wait.until(lambda d: "area=" not in d.current_url)
            self.wait_for_names(cli_groups(GENERATED, []))
            self.assertFalse(bar.is_displayed())
            # So does its button, after back brings it again.
            driver.back()
            self.wait_for_names(names)
            driver.find_element(By.ID, "area-clear").click()
            self.wait_for_names(cli_groups(GENERATED, []))
            self.assert_no_browser_errors()

    def marked_groups(self):
        return sorted(self.driver.execute_script(
            "return Array.from(document.querySelectorAll('#compare tbody tr.over td.name'),"
            " (cell) => cell.textContent);"))

    def test_comparison_with_a_base_run(self):
        # The base run is the generated report, the new one the other:
        # every group grew, some more than others.
        with Server(EXE, BASE, args=["--base", GENERATED, "--fail-above", "150"]) as server:
            driver = self.driver
            self.load(server)
            section = driver.find_element(By.ID, "compare-section")
            self.assertTrue(section.is_displayed())
            # The groups as /api/diff orders them, base and new side by side.
            status, diff = server.get_json("/api/diff?limit=500")
            self.assertEqual(status, 200)
            rows = lambda: driver.execute_script(
                "return Array.from(document.querySelectorAll('#compare tbody tr'),"
                " (row) => Array.from(row.cells, (cell) => cell.textContent));")
            self.wait.until(lambda d: len(rows()) == len(diff["groups"]))
            first = rows()[0]
            group = diff["groups"][0]
            self.assertEqual(first[0], group["name"])
            self.assertEqual(first[2:5], ["{:,}".format(group["base"]["key"]),
                                          "{:,}".format(group["new"]["key"]),
                                          "{:+,}".format(group["delta"])])
            # Marked: what the regression gate fails, at the server's
            # threshold and at one typed in.
            threshold = driver.find_element(By.ID, "threshold")
            self.assertEqual(threshold.get_attribute("value"), "150")
            self.assertEqual(self.marked_groups(), gate_failures(GENERATED, BASE, 150))
            self.assertTrue(0 < len(self.marked_groups()) < len(diff["groups"]))
            threshold.clear()
            threshold.send_keys("100")
            self.assertEqual(self.marked_groups(), gate_failures(GENERATED, BASE, 100))
            self.assertNotEqual(self.marked_groups(), gate_failures(GENERATED, BASE, 150))

            # The timeline shows the new run; the switch shows the base.
            caption = driver.find_element(By.ID, "timeline-window")
            self.assertTrue(caption.text.startswith("Cycles"), caption.text)
            Select(driver.find_element(By.ID, "run")).select_by_value("base")
            self.wait.until(lambda d: "run=base" in d.current_url and
                            caption.text.startswith("The base run"))
            base_span = json.loads(server.get("/api/report")[2])["base"]["profile_span_cycles"]
            self.assertEqual(driver.execute_script("return Timeline.view().to;"), base_span)

            # A click on a group narrows both runs to it.
            name = diff["groups"][0]["name"]
            driver.find_element(By.XPATH, "//table[@id='compare']//td[contains(., '%s')]"
                                % name).click()
            self.wait.until(lambda d: "kernel=" in d.current_url)
            self.wait_for_names([name])
            self.wait.until(lambda d: [row[0] for row in rows()] == [name])
            self.wait.until(lambda d: self.timeline_ready())
            self.assertEqual(driver.execute_script(
                "return [Timeline.run(), Timeline.state().answer.groups];"), ["base", [name]])
            self.assert_no_browser_errors()

    def test_export_this_window(self):
        with Server(EXE, GENERATED, args=["--base", BASE]) as server:
            driver = self.driver
            self.load(server, "?from=20000&to=21000&tiles=2-5")
            link = driver.find_element(By.ID, "export")
            href = urllib.parse.urlparse(link.get_attribute("href"))
            self.assertEqual(href.path, "/api/trace-events")
            self.assertEqual(urllib.parse.parse_qs(href.query),
                             {"from": ["20000"], "to": ["21000"], "tiles": ["2-5"]})
            # The download is the file export writes for that window and those tiles.
            status, headers, body = server.get(href.path + "?" + href.query)
            self.assertEqual(status, 200)
            self.assertIn("attachment", headers["Content-Disposition"])
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "trace.json")
                subprocess.run([EXE, "export", GENERATED, "--trace-events", "--from", "20000",
                                "--to", "21000", "--tile", "2", "--tile", "3", "--tile", "4",
                                "--tile", "5", "-o", path], check=True, capture_output=True)
                with open(path, "rb") as written:
                    self.assertEqual(body, written.read())
            # The base run shown: the base run's window.
            Select(driver.find_element(By.ID, "run")).select_by_value("base")
            self.wait.until(lambda d: "run=base" in d.current_url and self.timeline_ready())
            query = urllib.parse.parse_qs(urllib.parse.urlparse(
                link.get_attribute("href")).query)
            self.assertEqual(query["run"], ["base"])
            self.assertEqual(server.get("/api/trace-events?" + urllib.parse.urlencode(
                query, doseq=True))[0], 200)
            self.assert_no_browser_errors()

    def test_tooltip_on_top_with_start_end_and_duration(self):
        with Server(EXE, GENERATED) as server:
            driver = self.driver
            self.load(server, "?from=20000&to=21000&tiles=0-7")
            canvas = driver.find_element(By.ID, "timeline")
            # The table's header sits right under the bar the pointer is on.
            driver.execute_script("arguments[0].scrollIntoView();", canvas)
            x, y = driver.execute_script("""
                const s = Timeline.state();
                const [offset, duration] = s.answer.rows[0].samples[0];
                const h = Timeline.rowHeight(s.answer.rows.length);
                return [Timeline.xOf(offset + duration / 2), Timeline.RULER + h / 2];""")
            ActionChains(driver).move_to_element_with_offset(
                canvas, int(x - canvas.size["width"] / 2),
                int(y - canvas.size["height"] / 2)).perform()
            tip = driver.find_element(By.ID, "timeline-tip")
            self.wait.until(lambda d: tip.is_displayed() and "duration" in tip.text)
            for field in ["start ", "end ", "duration ", "\u00b5s"]:
                self.assertIn(field, tip.text)
            on_top = driver.execute_script("""
                const box = arguments[0].getBoundingClientRect();
                return [[box.left + 4, box.top + 4], [box.right - 4, box.bottom - 4],
                        [(box.left + box.right) / 2, (box.top + box.bottom) / 2]].every(
                    ([x, y]) => arguments[0].contains(document.elementFromPoint(x, y)));""", tip)
            self.assertTrue(on_top)
            self.assert_no_browser_errors()

    def test_newer_request_supersedes_older(self):
        with Server(EXE, GENERATED) as server:
            driver = self.driver
            self.load(server)
            # Three groupings asked at once: the last is what shows.
            driver.execute_script("""
                const select = document.querySelector('[name=group-by]');
                for (const by of ['phase', 'tile', 'kind']) {
                  select.value = by;
                  select.dispatchEvent(new Event('change'));
                }""")
            self.wait_for_names(cli_groups(GENERATED, ["--group-by", "kind"]))
            self.wait_until_idle()
            self.assertEqual(driver.execute_script("return Api.running();"), 0)
            self.assertFalse(driver.find_element(By.ID, "working").is_displayed())
            self.assertFalse(driver.find_element(By.ID, "error").is_displayed())
            self.assert_no_browser_errors()


if __name__ == "__main__":
    EXE, REPORT, MANY, SCREENSHOT, GENERATED, BASE = sys.argv[1:7]
    missing = []
    if webdriver is None:
        missing.append("python3-selenium")
    for path, package in [(CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")]:
        if not os.path.exists(path):
            missing.append(package)
    if missing:
        print("browser test skipped: missing " + ", ".join(missing))
        sys.exit(1 if os.environ.get("ZUN_REQUIRE_BROWSER") else SKIP)
    unittest.main(argv=sys.argv[:1], verbosity=2)
