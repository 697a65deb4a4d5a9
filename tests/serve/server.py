"""Starts `profile-query serve` on a free loopback port for a test, and stops
it the way a user does, checking that it ends cleanly."""

import json
import re
import signal
import subprocess
import threading
import urllib.error
import urllib.request


class Server:
    """`with Server(exe, report) as server:` serves until the block ends."""

    def __init__(self, exe, report, stop_signal=signal.SIGTERM):
        self.exe = exe
        self.report = report
        self.stop_signal = stop_signal
        self.url = None
        self.stopped_output = None

    def __enter__(self):
        self.process = subprocess.Popen(
            [self.exe, "serve", self.report, "--port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The first line says where it listens; give loading a minute.
        line = [None]
        reader = threading.Thread(
            target=lambda: line.__setitem__(0, self.process.stdout.readline()))
        reader.start()
        reader.join(60)
        match = re.search(r"at (http://127\.0\.0\.1:\d+/) ", line[0] or "")
        if not match:
            self.process.kill()
            raise AssertionError("no URL from the server: %r, stderr %r"
                                 % (line[0], self.process.stderr.read()))
        self.url = match.group(1)
        return self

    def __exit__(self, kind, value, trace):
        self.process.send_signal(self.stop_signal)
        try:
            out, err = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("the server did not stop on its signal")
        if kind is None:
            assert self.process.returncode == 0, (self.process.returncode, err)
            assert out == "Stopped.\n", out
            assert err == "", err
        return False

    def get(self, path, method="GET", headers=None):
        """(status, headers, body bytes) of one request."""
        request = urllib.request.Request(self.url + path.lstrip("/"),
                                         method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def get_json(self, path):
        status, headers, body = self.get(path)
        return status, json.loads(body)
