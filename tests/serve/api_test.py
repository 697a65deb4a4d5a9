"""The explorer's HTTP API, asked by a real client over loopback:
python3 api_test.py PROFILE_QUERY REPORT BASE_REPORT [MEMORY_REPORT]

MEMORY_REPORT, 512K samples (256 tiles x 2048), is served for the test of
the server's memory."""

import concurrent.futures
import http.client
import json
import os
import signal
import subprocess
import sys
import unittest
import urllib.parse

from server import Server

EXE = REPORT = BASE = MEMORY_REPORT = None
EXAMPLES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                        "..", "..", "examples"))

# Option sets, as a user types them on the command line.
OPTION_SETS = [
    [],
    ["--group-by", "phase"],
    ["--group-by", "tile", "--sort-by", "name", "--samples", "3"],
    ["--group-by", "operation", "--limit", "5"],
    ["--group-by", "kind", "--sort-by", "work-cycles"],
    ["--group-by", "metadata", "--metadata-key", "block", "--sort-by", "samples"],
    ["--kind", "compute", "--samples", "10"],
    ["--kernel", "", "--group-by", "phase"],
    ["--tile", "1", "--tile", "3", "--phase", "2", "--sort-by", "maximum-cycles"],
    ["--metadata", "block", "--group-by", "tile", "--limit", "0"],
    ["--at", "5000", "--samples", "4"],
    ["--operation-contains", "matmul", "--limit", "2", "--samples", "100000"],
    ["--kernel", "no such kernel"],
]


def parameters(options):
    """The query string for command-line options: --name value pairs."""
    pairs = [(options[i][2:], options[i + 1]) for i in range(0, len(options), 2)]
    return urllib.parse.urlencode(pairs)


def cli_json(options):
    return subprocess.run([EXE, REPORT, "--format", "json"] + options,
                          check=True, capture_output=True).stdout


class Served(unittest.TestCase):
    """Tests that share one server of REPORT, started with `ARGS`."""
    ARGS = []

    @classmethod
    def setUpClass(cls):
        cls.server = Server(EXE, REPORT, args=cls.ARGS).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)


class ApiTest(Served):
    def assert_refused(self, path, status, names):
        got, headers, body = self.server.get(path)
        self.assertEqual(got, status, path)
        self.assertEqual(headers["Content-Type"], "application/json; charset=utf-8")
        error = json.loads(body)["error"]
        self.assertIn(names, error, path)

    def test_query_answers_as_the_json_format(self):
        for options in OPTION_SETS:
            with self.subTest(options=options):
                status, headers, body = self.server.get(
                    "/api/query?" + parameters(options))
                self.assertEqual(status, 200, body)
                self.assertEqual(body, cli_json(options))

    def test_report_overview(self):
        status, overview = self.server.get_json("/api/report")
        self.assertEqual(status, 200)
        figures = json.loads(cli_json(["--limit", "0"]))
        for key in ["clock_hz", "tile_count", "sample_count",
                    "profile_span_cycles", "profile_span_ms"]:
            self.assertEqual(overview[key], figures[key], key)
        for key in ["kinds", "kernels", "phases", "metadata_names"]:
            values = overview[key]["values"]
            self.assertGreater(len(values), 0, key)
            self.assertFalse(overview[key]["truncated"])
        self.assertEqual(sum(v["samples"] for v in overview["kinds"]["values"]),
                         figures["sample_count"])

    def test_activity_sums_to_work(self):
        status, activity = self.server.get_json(
            "/api/activity?buckets=37&group-by=phase&limit=3")
        self.assertEqual(status, 200)
        self.assertEqual(activity["bucket_count"], 37)
        rows = json.loads(cli_json(["--group-by", "phase"]))["groups"]
        self.assertEqual([g["name"] for g in activity["groups"]],
                         [g["name"] for g in rows[:3]])
        for series, row in zip(activity["groups"], rows):
            self.assertEqual(sum(series["busy_cycles"]), row["work_cycles"])
        self.assertEqual(sum(activity["other"]["busy_cycles"]),
                         sum(g["work_cycles"] for g in rows[3:]))
        self.assertEqual(activity["other"]["group_count"], len(rows) - 3)

    def test_bad_parameters_are_refused_by_name(self):
        for query, names in [
                ("group-by=colour", "group-by"), ("sort-by=size", "sort-by"),
                ("kind=busy", "kind"), ("tile=x", "tile"), ("tile=-1", "tile"),
                ("phase=4294967296", "phase"), ("at=1.5", "at"),
                ("limit=-1", "limit"), ("samples=many", "samples"),
                ("colour=red", "colour"), ("format=csv", "format"),
                ("kind=idle&kind=compute", "kind"),
                ("limit=1&limit=2", "limit"), ("help=", "help"),
                ("kernel=%zz", "malformed query string"),
                ("&".join(["tile=1"] * 65), "too many parameters"),
                ("operation-contains=" + "a" * 1025, "operation-contains"),
                ("samples=100001", "samples")]:
            with self.subTest(query=query[:40]):
                self.assert_refused("/api/query?" + query, 400, names)
        for query, names in [("buckets=0", "buckets"), ("buckets=10001", "buckets"),
                             ("buckets=x", "buckets"), ("limit=101", "limit"),
                             ("buckets=2&buckets=3", "buckets"),
                             ("group-by=x", "group-by")]:
            with self.subTest(query=query):
                self.assert_refused("/api/activity?" + query, 400, names)

    def test_unknown_paths_methods_and_long_addresses(self):
        for path in ["/nothing", "/api", "/api/queries", "/index.html/x", "/../etc/passwd"]:
            with self.subTest(path=path):
                self.assert_refused(path, 404, "not found")
        for method in ["POST", "PUT", "DELETE", "PATCH", "OPTIONS"]:
            with self.subTest(method=method):
                status, headers, body = self.server.get("/api/query", method=method)
                self.assertEqual(status, 405)
                self.assertEqual(headers["Allow"], "GET, HEAD")
                self.assertIn("only GET and HEAD", json.loads(body)["error"])
        status, _, _ = self.server.get("/api/query?kernel=" + "a" * 9000)
        self.assertEqual(status, 414)

    def test_page_files_and_headers(self):
        for path, kind in [("/", "text/html"), ("/app.js", "text/javascript"),
                           ("/style.css", "text/css"), ("/favicon.svg", "image/svg+xml"),
                           ("/api/report", "application/json"),
                           ("/api/query?kind=x", "application/json")]:
            with self.subTest(path=path):
                status, headers, body = self.server.get(path)
                self.assertTrue(headers["Content-Type"].startswith(kind), headers)
                self.assertEqual(headers["X-Content-Type-Options"], "nosniff")
                csp = headers["Content-Security-Policy"]
                self.assertIn("default-src 'none'", csp)
                self.assertIn("script-src 'self'", csp)
                self.assertNotIn("unsafe", csp)
                self.assertGreater(len(body), 0)
        status, headers, body = self.server.get("/", method="HEAD")
        self.assertEqual((status, body), (200, b""))
        self.assertGreater(int(headers["Content-Length"]), 100)

    def test_concurrent_requests_are_answered_correctly(self):
        paths = ["/api/query?" + parameters(OPTION_SETS[i % len(OPTION_SETS)])
                 for i in range(32)]
        expected = {path: self.server.get(path)[2] for path in set(paths)}
        with concurrent.futures.ThreadPoolExecutor(max_workers=32) as pool:
            answers = list(pool.map(self.server.get, paths))
        for path, (status, headers, body) in zip(paths, answers):
            self.assertEqual(status, 200)
            self.assertEqual(body, expected[path], path)


class ShardsTest(unittest.TestCase):
    """Two shards served as one report, on two threads: every answer is the
    one profile-query gives for the same shards."""

    def test_shards_answer_as_profile_query_does(self):
        with Server(EXE, REPORT, args=[REPORT, "--threads", "2"]) as server:
            for options in OPTION_SETS:
                with self.subTest(options=options):
                    status, _, body = server.get("/api/query?" + parameters(options))
                    self.assertEqual(status, 200, body)
                    expected = subprocess.run(
                        [EXE, REPORT, REPORT, "--format", "json", "--threads", "1"]
                        + options, check=True, capture_output=True).stdout
                    self.assertEqual(body, expected)
            status, overview = server.get_json("/api/report")
            self.assertEqual(status, 200)
            alone = json.loads(cli_json(["--limit", "0"]))
            self.assertEqual(overview["tile_count"], 2 * alone["tile_count"])
            self.assertEqual(overview["sample_count"], 2 * alone["sample_count"])


class ComparisonTest(unittest.TestCase):
    """A server given a base report: /api/diff is what the diff command
    prints, and run=base answers as a server of the base alone."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server(EXE, REPORT, args=["--base", BASE, "--fail-above",
                                               "2.5"]).__enter__()
        cls.base_alone = Server(EXE, BASE).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        cls.base_alone.__exit__(None, None, None)

    def test_diff_answers_as_the_diff_command(self):
        for options in OPTION_SETS + [["--sort-by", "name", "--limit", "3"],
                                      ["--group-by", "phase", "--limit", "1"]]:
            with self.subTest(options=options):
                status, _, body = self.server.get("/api/diff?" + parameters(options))
                self.assertEqual(status, 200, body)
                expected = subprocess.run(
                    [EXE, "diff", BASE, REPORT, "--format", "json"] + options,
                    check=True, capture_output=True).stdout
                self.assertEqual(body, expected)

    def test_diff_of_added_and_removed_groups(self):
        base = os.path.join(EXAMPLES, "report.json")
        after = os.path.join(EXAMPLES, "report-new.json")
        with Server(EXE, after, args=["--base", base]) as server:
            for options in [[], ["--group-by", "phase"], ["--limit", "2"]]:
                status, _, body = server.get("/api/diff?" + parameters(options))
                self.assertEqual(status, 200, body)
                expected = subprocess.run(
                    [EXE, "diff", base, after, "--format", "json"] + options,
                    check=True, capture_output=True).stdout
                self.assertEqual(body, expected)
            status, diff = server.get_json("/api/diff")
            self.assertEqual({g["status"] for g in diff["groups"]},
                             {"both", "added", "removed"})
            # The base's total, which a gate measures an added group
            # against, is every group's whatever rows the limit keeps.
            self.assertEqual(diff["base_key_total"],
                             sum(g["base"]["key"] for g in diff["groups"]))
            status, first = server.get_json("/api/diff?limit=1")
            self.assertEqual(first["base_key_total"], diff["base_key_total"])
            status, overview = server.get_json("/api/report")
            self.assertIsNone(overview["fail_above"])

    def test_base_run_answers_as_the_base_alone(self):
        for path in ["/api/query?group-by=phase&samples=5",
                     "/api/query?" + parameters(OPTION_SETS[5]),
                     "/api/activity?buckets=50&group-by=kind",
                     "/api/timeline?tiles=0-7&width=300&group-by=phase",
                     "/api/timeline?from=1000&to=9000&tiles=3-4&width=4096",
                     "/api/sample?position=1234"]:
            with self.subTest(path=path):
                status, _, alone = self.base_alone.get(path)
                self.assertEqual(status, 200)
                status, _, body = self.server.get(path + "&run=base")
                self.assertEqual((status, body), (200, alone))
                # The new run by default and by name.
                status, _, new = self.server.get(path)
                self.assertEqual(status, 200)
                self.assertNotEqual(new, alone)
                self.assertEqual(self.server.get(path + "&run=new")[2], new)

    def test_report_holds_the_base_overview_and_threshold(self):
        status, overview = self.server.get_json("/api/report")
        self.assertEqual(status, 200)
        _, alone = self.base_alone.get_json("/api/report")
        self.assertEqual(overview.pop("fail_above"), 2.5)
        base = overview.pop("base")
        self.assertIsNone(alone.pop("base"))
        self.assertIsNone(alone.pop("fail_above"))
        self.assertEqual(base, alone)
        self.assertEqual(overview["sample_count"],
                         json.loads(cli_json(["--limit", "0"]))["sample_count"])

    def test_refusals(self):
        for path, names in [
                ("/api/diff?colour=red", "unknown parameter 'colour'"),
                ("/api/diff?fail-above=5", "fail-above"),
                ("/api/diff?run=base", "unknown parameter 'run'"),
                ("/api/diff?group-by=x", "parameter 'group-by'"),
                ("/api/query?run=old", "parameter 'run'"),
                ("/api/query?run=base&run=new", "more than once"),
                ("/api/report?run=base", "unknown parameter 'run'")]:
            with self.subTest(path=path):
                status, answer = self.server.get_json(path)
                self.assertEqual(status, 400, path)
                self.assertIn(names, answer["error"], path)
        for path in ["/api/diff", "/api/diff?group-by=phase",
                     "/api/query?run=base", "/api/activity?run=base",
                     "/api/timeline?run=base", "/api/sample?position=0&run=base"]:
            with self.subTest(path=path):
                status, answer = self.base_alone.get_json(path)
                self.assertEqual(status, 400, path)
                self.assertIn("no base report", answer["error"])
                self.assertIn("--base", answer["error"])
        self.assertEqual(self.base_alone.get("/api/query?run=new")[0], 200)

    def test_command_line(self):
        for args, message in [
                ([REPORT, "--fail-above", "5"], "--fail-above"),
                ([REPORT, "--base", BASE, "--fail-above", "5%"], "--fail-above"),
                (["-", "--base", "-"], "standard input")]:
            with self.subTest(args=args):
                run = subprocess.run([EXE, "serve"] + args, capture_output=True,
                                     text=True, timeout=60,
                                     stdin=subprocess.DEVNULL)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(message, run.stderr)
        run = subprocess.run([EXE, "serve", REPORT, "--base", "no_such.json"],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 1)
        self.assertIn("base report: cannot open no_such.json", run.stderr)


class TimelineTest(Served):
    """/api/timeline: the samples a window holds, or per pixel column; its
    size bounded by rows x width."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        exported = subprocess.run([EXE, "export", REPORT, "-o", "-"], check=True,
                                  capture_output=True).stdout
        cls.report = json.loads(exported)

    def expected(self, first, last, start, end, kind=None):
        """Per tile entry, (offset, duration, kernel label) of its samples
        running in [start, end), in start order, read from the report."""
        rows = []
        for tile in self.report["tiles"][first:last + 1]:
            base = tile["samples"][0]["start_cycle"] if tile["samples"] else 0
            row = []
            for sample in tile["samples"]:
                offset = (sample["start_cycle"] - base) % 2**32
                duration = (sample["end_cycle"] - sample["start_cycle"]) % 2**32
                if offset >= end or offset + max(duration, 1) <= start:
                    continue
                if kind and sample["step"]["kind"] != kind:
                    continue
                row.append((offset, duration, sample["step"]["kernel"] or "(no kernel)"))
            rows.append(sorted(row, key=lambda r: r[0]))
        return rows

    def test_samples_of_a_window_one_by_one(self):
        status, answer = self.server.get_json(
            "/api/timeline?from=20000&to=45000&tiles=2-9&width=4096&kind=compute")
        self.assertEqual(status, 200)
        expected = self.expected(2, 9, 20000, 45000, kind="compute")
        self.assertEqual([row["tile"] for row in answer["rows"]], list(range(2, 10)))
        for row, want in zip(answer["rows"], expected):
            self.assertIn("samples", row)
            got = [(o, d, answer["groups"][g]) for o, d, g, _ in row["samples"]]
            self.assertEqual(got, want)
        # A sample's fields, by its position, for the tooltip.
        offset, duration, group, position = answer["rows"][0]["samples"][0]
        status, fields = self.server.get_json("/api/sample?position=%d" % position)
        self.assertEqual(status, 200)
        self.assertEqual((fields["offset"], fields["duration"], fields["kind"]),
                         (offset, duration, "compute"))
        self.assertEqual(fields["tile"], 2)

    def test_a_wide_window_is_drawn_per_pixel_within_bounds(self):
        for width in (1, 7, 300):
            status, headers, body = self.server.get(
                "/api/timeline?tiles=0-15&width=%d&group-by=phase" % width)
            self.assertEqual(status, 200)
            answer = json.loads(body)
            self.assertEqual(len(answer["rows"]), 16)
            for row in answer["rows"]:
                self.assertEqual(len(row["pixel_groups"]), width)
                self.assertTrue(all(0 <= b <= 1000 for b in row["pixel_busy"]))
                self.assertTrue(all(g < len(answer["groups"]) for g in row["pixel_groups"]))
            # Bounded by rows x width, never by the samples in the window.
            self.assertLess(len(body), 2000 + 16 * (300 + width * 10)
                            + 30 * len(answer["groups"]))

    def test_bad_windows_are_refused(self):
        for path, names in [
            ("/api/timeline?width=0", "parameter 'width'"),
            ("/api/timeline?width=4097", "parameter 'width'"),
            ("/api/timeline?tiles=5-2", "parameter 'tiles'"),
            ("/api/timeline?tiles=0-2048", "parameter 'tiles'"),
            ("/api/timeline?from=10&to=10", "parameter 'to'"),
            ("/api/timeline?from=x", "parameter 'from'"),
            ("/api/timeline?colour=red", "unknown parameter 'colour'"),
            ("/api/timeline?width=5&width=6", "given more than once"),
            ("/api/sample?position=99999999", "parameter 'position'"),
            ("/api/sample", "'position'"),
        ]:
            status, answer = self.server.get_json(path)
            self.assertEqual(status, 400, path)
            self.assertIn(names, answer["error"], path)


def raw_get(port, path, headers):
    """(status, headers, body) of a GET sent with exactly `headers` (no Host
    unless given)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.putrequest("GET", path, skip_host=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


def raw_exchange(port, request):
    """(status line, headers as a dict of lists, body) for `request`, bytes
    sent as they are."""
    import socket
    with socket.create_connection(("127.0.0.1", port), timeout=60) as connection:
        connection.sendall(request)
        data = b""
        while True:
            piece = connection.recv(65536)
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers.setdefault(name.lower(), []).append(value)
    return lines[0], headers, body


class HttpTest(Served):
    """What any request meets, whatever its path: methods, Host headers and
    parameters."""

    def host(self):
        return b"Host: 127.0.0.1:%d\r\n" % self.server.port

    def test_only_get_and_head_are_answered(self):
        for request in [b"POST /api/query HTTP/1.1\r\n%s\r\n",
                        b"POST /api/query HTTP/1.1\r\n%sContent-Length: 3\r\n\r\nabc",
                        b"PUT / HTTP/1.1\r\n%sTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                        b"DELETE /api/report HTTP/1.1\r\n%sContent-Length: 99999\r\n\r\n",
                        b"PATCH /app.js HTTP/1.1\r\n%s\r\n",
                        b"OPTIONS * HTTP/1.1\r\n%s\r\n",
                        b"TRACE / HTTP/1.1\r\n%s\r\n",
                        b"CONNECT 127.0.0.1:80 HTTP/1.1\r\n%s\r\n",
                        b"BREW /pot HTTP/1.1\r\n%s\r\n",
                        b"get / HTTP/1.1\r\n%s\r\n"]:
            request = request.replace(b"%s", self.host())
            with self.subTest(request=request.split(b" ")[0]):
                status, headers, body = raw_exchange(self.server.port, request)
                self.assertEqual(status, "HTTP/1.1 405 Method Not Allowed")
                self.assertEqual(headers["allow"], ["GET, HEAD"])
                self.assertEqual(headers["x-content-type-options"], ["nosniff"])
                self.assertIn("only GET and HEAD", json.loads(body)["error"])
        status, _, _ = raw_exchange(self.server.port,
                                    b"HEAD /api/report HTTP/1.1\r\n%s\r\n" % self.host())
        self.assertEqual(status, "HTTP/1.1 200 OK")

    def test_two_host_headers_are_refused(self):
        for second in [self.host(), b"Host: attacker.example\r\n"]:
            status, _, body = raw_exchange(
                self.server.port,
                b"GET /api/report HTTP/1.1\r\n%s%s\r\n" % (self.host(), second))
            self.assertEqual(status, "HTTP/1.1 400 Bad Request")
            self.assertIn("more than one Host header", json.loads(body)["error"])

    def test_control_bytes_are_shown_escaped(self):
        for path, message in [
                ("/api/query?group-by=phase%00x",
                 "parameter 'group-by': phase\\x00x not in {kind,"),
                ("/api/query?tile=1%0a2",
                 "parameter 'tile': expected a whole number from 0 to "
                 "4294967295, got '1\\x0a2'"),
                ("/api/activity?kind=%00", "parameter 'kind': \\x00 not in {")]:
            with self.subTest(path=path):
                status, answer = self.server.get_json(path)
                self.assertEqual(status, 400)
                self.assertIn(message, answer["error"])
        run = subprocess.run([EXE, REPORT, "--group-by", "colour"],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 2)
        self.assertIn("colour not in {kind,kernel,operation,phase,tile,metadata}",
                      run.stderr)

    def test_a_tile_range_outside_the_report_is_refused(self):
        for tiles in ["5000-6000", "10-16", "16-16"]:
            with self.subTest(tiles=tiles):
                status, answer = self.server.get_json("/api/timeline?tiles=" + tiles)
                self.assertEqual(status, 400)
                self.assertEqual(answer["error"],
                                 "parameter 'tiles': %s is outside the report's "
                                 "tile entries 0-15" % tiles)
        self.assertEqual(self.server.get("/api/timeline?tiles=15-15")[0], 200)

    def test_unknown_parameters_are_refused_on_every_path(self):
        for path in ["/api/report?colour=red", "/api/query?colour=red",
                     "/api/activity?colour=red", "/api/timeline?colour=red",
                     "/api/sample?position=0&colour=red",
                     "/app.js?colour=red", "/style.css?colour=red",
                     "/favicon.svg?colour=red"]:
            with self.subTest(path=path):
                status, answer = self.server.get_json(path)
                self.assertEqual(status, 400)
                self.assertIn("colour", answer["error"])
        # The page's own address carries its view, for its script.
        self.assertEqual(self.server.get("/?group-by=phase&from=0&to=10")[0], 200)


def export_trace(report, options):
    """(status, stdout, stderr) of profile-query export --trace-events."""
    run = subprocess.run([EXE, "export", report, "--trace-events", "-o", "-"]
                         + options, capture_output=True)
    return run.returncode, run.stdout, run.stderr.decode()


class TraceEventsTest(Served):
    """/api/trace-events: the bytes the export command writes for the same
    window, as a file to save."""

    @classmethod
    def setUpClass(cls):
        cls.ARGS = ["--base", BASE]
        super().setUpClass()

    def test_answers_as_the_export_command(self):
        for query, options, report in [
                ("", [], REPORT),
                ("from=1000&to=20000&tiles=2-4",
                 ["--from", "1000", "--to", "20000", "--tile", "2", "--tile", "3",
                  "--tile", "4"], REPORT),
                ("tiles=15-15&from=5000", ["--tile", "15", "--from", "5000"], REPORT),
                ("to=3000&run=base", ["--to", "3000"], BASE)]:
            with self.subTest(query=query):
                status, headers, body = self.server.get("/api/trace-events?" + query)
                self.assertEqual(status, 200, body[:200])
                self.assertEqual(headers["Content-Disposition"],
                                 'attachment; filename="trace.json"')
                self.assertEqual(body, export_trace(report, options)[1])

    def test_refuses_as_the_command_does(self):
        code, _, message = export_trace(REPORT, ["--from", "99999999"])
        self.assertEqual(code, 1)
        for query, error in [
                ("from=99999999", message.removeprefix("profile-query: ").strip()),
                ("tiles=3-16", "parameter 'tiles': 3-16 is outside the report's "
                               "tile entries 0-15"),
                ("from=9&to=9", "parameter 'to': must be past 'from'"),
                ("from=x", "parameter 'from'"),
                ("tiles=4-2", "parameter 'tiles'"),
                ("to=5&to=6", "given more than once"),
                ("tile=3", "unknown parameter 'tile'"),
                ("run=old", "parameter 'run'")]:
            with self.subTest(query=query):
                status, answer = self.server.get_json("/api/trace-events?" + query)
                self.assertEqual(status, 400)
                self.assertIn(error, answer["error"])

    @unittest.skipUnless(len(sys.argv) > 4, "no report of 512K samples")
    def test_a_window_past_a_million_samples_is_refused(self):
        with Server(EXE, MEMORY_REPORT, args=[MEMORY_REPORT]) as server:
            status, answer = server.get_json("/api/trace-events?to=4000000000")
            self.assertEqual(status, 400)
            self.assertIn("the window holds 1048576 samples, more than the 1000000",
                          answer["error"])
            self.assertIn("profile-query export", answer["error"])
            # Tiles 0 and 1 are in both shards: the window holds both
            # entries of each, as export --tile does on the joined report.
            status, _, body = server.get("/api/trace-events?tiles=0-1&to=5000")
            self.assertEqual(status, 200)
            alone = export_trace(MEMORY_REPORT, ["--tile", "0", "--tile", "1",
                                                 "--to", "5000"])[1]
            events = lambda text: [e for e in json.loads(text)["traceEvents"]
                                   if e["ph"] == "X"]
            self.assertEqual(len(events(body)), 2 * len(events(alone)))


class MemoryTest(unittest.TestCase):
    """Large answers do not stay in the server's memory once sent, whichever
    worker thread built them."""

    # 512K samples: the store is 18 MB, a whole-span timeline of every tile
    # about 2 MB of text and some 20 MB while it is built.
    BOUND_KB = 100 * 1024

    def resident_kb(self, server):
        with open("/proc/%d/status" % server.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    @unittest.skipUnless(len(sys.argv) > 4, "no report for the memory test")
    @unittest.skipIf(os.environ.get("ZUN_SANITIZED"),
                     "a sanitizer's allocator keeps freed memory")
    def test_whole_span_timelines_leave_memory_bounded(self):
        with Server(EXE, MEMORY_REPORT) as server:
            path = "/api/timeline?tiles=0-255&width=1000"
            for _ in range(30):
                self.assertEqual(server.get(path)[0], 200)
            self.assertLess(self.resident_kb(server), self.BOUND_KB)
            with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
                statuses = list(pool.map(lambda _: server.get(path)[0], range(8)))
            self.assertEqual(statuses, [200] * 8)
            self.assertLess(self.resident_kb(server), self.BOUND_KB)


class AccessTest(unittest.TestCase):
    """Who may ask: the Host check on loopback, the token beyond it."""

    def assert_forbidden(self, answer, why):
        status, headers, body = answer
        self.assertEqual(status, 403)
        self.assertIn(why, json.loads(body)["error"])

    def test_loopback_answers_only_to_its_own_names(self):
        with Server(EXE, REPORT) as server:
            self.assertIsNone(server.token)
            port = server.port
            for host in ["127.0.0.1:%d" % port, "localhost:%d" % port,
                         "LOCALHOST:%d" % port, "[::1]:%d" % port]:
                self.assertEqual(raw_get(port, "/api/report", {"Host": host})[0],
                                 200, host)
            # A page that rebinds its own name to 127.0.0.1 sends its name.
            for headers in [{"Host": "attacker.example:%d" % port},
                            {"Host": "127.0.0.1:%d" % (port + 1)},
                            {"Host": "127.0.0.1"}, {}]:
                self.assert_forbidden(raw_get(port, "/api/query", headers),
                                      "answers only to the address")
                self.assert_forbidden(raw_get(port, "/", headers),
                                      "answers only to the address")

    def test_beyond_loopback_a_token_is_needed(self):
        with Server(EXE, REPORT, args=["--host", "0.0.0.0"]) as server:
            token = server.token
            self.assertRegex(token, r"^[0-9a-f]{32}$")
            host = {"Host": "profiler.lab:%d" % server.port}
            self.assert_forbidden(raw_get(server.port, "/api/report", host),
                                  "a token is needed")
            self.assert_forbidden(raw_get(server.port, "/?token=" + "0" * 32, host),
                                  "wrong token")
            self.assert_forbidden(
                raw_get(server.port, "/api/report",
                        dict(host, Authorization="token nope")), "wrong token")
            # The printed address: the page, and a cookie for what follows.
            status, headers, _ = raw_get(server.port, "/?token=" + token, host)
            self.assertEqual(status, 200)
            cookie = headers["Set-Cookie"]
            self.assertEqual(cookie, "zun_token=%s; Path=/; HttpOnly; SameSite=Strict"
                             % token)
            for credentials in [{"Cookie": "zun_token=" + token},
                                {"Cookie": "theme=dark; zun_token=" + token},
                                {"Authorization": "token " + token}]:
                self.assertEqual(raw_get(server.port, "/api/report",
                                         dict(host, **credentials))[0], 200)
            # The token is the server's: the query does not see it.
            options = ["--group-by", "phase", "--limit", "3"]
            status, _, body = server.get("/api/query?token=%s&%s"
                                         % (token, parameters(options)))
            self.assertEqual(status, 200)
            self.assertEqual(body, cli_json(options))
            # Many clients at once, each with the token.
            with concurrent.futures.ThreadPoolExecutor(max_workers=32) as pool:
                answers = list(pool.map(
                    lambda i: raw_get(server.port, "/api/query?group-by=kind",
                                      dict(host, Authorization="token " + token)),
                    range(32)))
            self.assertEqual({a[0] for a in answers}, {200})
            self.assertEqual(len({a[2] for a in answers}), 1)

    def test_a_token_of_ones_own_and_none(self):
        with Server(EXE, REPORT, args=["--token", "our-team.2026"]) as server:
            self.assertEqual(server.token, "our-team.2026")
            self.assert_forbidden(server.get("/api/report"), "a token is needed")
            self.assertEqual(server.get("/api/report?token=our-team.2026")[0], 200)
        warning = ("profile-query: warning: serving without a token: anyone who "
                   "can reach this port reads the profile\n")
        with Server(EXE, REPORT, args=["--host", "0.0.0.0", "--no-token"],
                    expected_err=warning) as server:
            self.assertIsNone(server.token)
            self.assertEqual(server.get("/api/report")[0], 200)
        for args in (["--token", "short"], ["--token", "has space in it"],
                     ["--token", "abcdefgh", "--no-token"]):
            run = subprocess.run([EXE, "serve", REPORT] + args,
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 2, args)
            self.assertIn("--", run.stderr)


class SlowClientsTest(unittest.TestCase):
    def test_idle_slow_and_unfinished_clients_leave_room(self):
        """256 connections that say nothing (as a browser's spare sockets),
        send a byte a second, or leave their request head unfinished: an
        ordinary request is still answered within a second, and a head
        left unfinished is closed at its deadline."""
        import socket
        import threading
        with Server(EXE, REPORT) as server:
            idle, trickling, unfinished = [], [], []
            stop = threading.Event()
            try:
                for i in range(256):
                    connection = socket.create_connection(("127.0.0.1", server.port))
                    [idle, trickling, unfinished][i % 3].append(connection)
                for connection in unfinished:
                    connection.sendall(b"GET /api/report HTTP/1.1\r\nHost: 127.0.0.1")

                def trickle():
                    head = b"GET /api/query HTTP/1.1\r\nHost: x\r\n"
                    for at in range(len(head)):
                        if stop.wait(1.0):
                            return
                        for connection in trickling:
                            try:
                                connection.send(head[at:at + 1])
                            except OSError:
                                pass
                sender = threading.Thread(target=trickle)
                sender.start()
                for _ in range(5):
                    connection = http.client.HTTPConnection("127.0.0.1", server.port,
                                                            timeout=1)
                    connection.request("GET", "/api/query?group-by=kind")
                    response = connection.getresponse()
                    self.assertEqual(response.status, 200)
                    self.assertEqual(response.read(), cli_json(["--group-by", "kind"]))
                    connection.close()
                # The deadline for a whole head: the server closes it.
                unfinished[0].settimeout(30)
                self.assertEqual(unfinished[0].recv(100), b"")
            finally:
                stop.set()
                sender.join()
                for connection in idle + trickling + unfinished:
                    connection.close()


class LifecycleTest(unittest.TestCase):
    def test_interrupt_stops_cleanly(self):
        # Server checks the exit status, "Stopped." and an empty stderr.
        with Server(EXE, REPORT, stop_signal=signal.SIGINT) as server:
            self.assertEqual(server.get("/api/report")[0], 200)

    def test_a_port_in_use_is_an_error(self):
        with Server(EXE, REPORT) as server:
            port = server.url.rstrip("/").rsplit(":", 1)[1]
            run = subprocess.run([EXE, "serve", REPORT, "--port", port],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 1)
            self.assertIn("cannot listen on 127.0.0.1 port " + port, run.stderr)
            self.assertEqual(run.stdout, "")

    def test_an_unknown_host_is_an_error(self):
        run = subprocess.run([EXE, "serve", REPORT, "--host", "no-such-host.invalid"],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 1)
        self.assertRegex(run.stderr, r"^profile-query: cannot listen on "
                                     r"no-such-host\.invalid: .+\n$")
        self.assertNotIn("ioctl", run.stderr)

    def test_a_store_rewritten_while_served_is_refused_and_the_server_stays(self):
        """A copy over the served store file, as users do it: the next
        request that reads it is 500 naming the file; the server answers
        what it holds apart from the file and stops cleanly."""
        import shutil
        import tempfile
        with tempfile.TemporaryDirectory() as folder:
            held = os.path.join(folder, "held.zun")
            other = os.path.join(folder, "other.zun")
            subprocess.run([EXE, "convert", REPORT, "-o", held], check=True)
            subprocess.run([EXE, "convert", BASE, "-o", other], check=True)
            os.utime(held, (0, 0))  # an old file: a rewrite shows in its times
            with Server(EXE, held) as server:
                self.assertEqual(server.get("/api/query")[0], 200)
                shutil.copyfile(other, held)
                for path in ("/api/query", "/api/activity", "/api/timeline",
                             "/api/sample?position=0",
                             "/api/trace-events?to=1000"):
                    status, answer = server.get_json(path)
                    self.assertEqual(status, 500, path)
                    self.assertEqual(answer["error"], held + ": the file changed "
                                     "since it was opened; open it again", path)
                self.assertEqual(server.get("/api/report")[0], 200)

    def test_bad_report_and_usage(self):
        run = subprocess.run([EXE, "serve", "no_such.json"], capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot open no_such.json", run.stderr)
        run = subprocess.run([EXE, "serve", REPORT, "--port", "65536"],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 2)
        self.assertIn("--port", run.stderr)
        run = subprocess.run([EXE, "serve", "--help"], capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(run.returncode, 0)
        self.assertIn("--host", run.stdout)


if __name__ == "__main__":
    EXE, REPORT, BASE = sys.argv[1], sys.argv[2], sys.argv[3]
    MEMORY_REPORT = sys.argv[4] if len(sys.argv) > 4 else None
    unittest.main(argv=sys.argv[:1], verbosity=2)
