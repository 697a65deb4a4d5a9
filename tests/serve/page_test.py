"""The explorer page in a real browser: headless Chromium driven by Selenium.
python3 page_test.py PROFILE_QUERY REPORT MANY_GROUPS_REPORT SCREENSHOT

Without Selenium or Chromium the test is skipped (exit 77), unless
ZUN_REQUIRE_BROWSER is set, as in CI, where it fails instead."""

import json
import os
import subprocess
import sys
import unittest
import urllib.parse

from server import Server

SKIP = 77
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
EXE = REPORT = MANY = SCREENSHOT = None


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
            self.assertIn("tile 0, offset", tip.text)

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


if __name__ == "__main__":
    EXE, REPORT, MANY, SCREENSHOT = sys.argv[1:5]
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
