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

    def __init__(self, exe, report, stop_signal=signal.SIGTERM, args=(),
                 expected_err=""):
        self.exe = exe
        self.report = report
        self.stop_signal = stop_signal
        self.args = list(args)  # more options of serve (--host, --token)
        self.expected_err = expected_err  # what it may say on stderr
        self.url = None
        self.token = None  # the token the printed address carries, if any
        self.stopped_output = None

    def __enter__(self):
        self.process = subprocess.Popen(
            [self.exe, "serve", self.report, "--port", "0"] + self.args,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The first line says where it listens; give loading a minute.
        line = [None]
        reader = threading.Thread(
            target=lambda: line.__setitem__(0, self.process.stdout.readline()))
        reader.start()
        reader.join(60)
        match = re.search(r"at http://([^ /]+):(\d+)/(\?token=([\w.~-]+))? ",
                          line[0] or "")
        if not match:
            self.process.kill()
            raise AssertionError("no URL from the server: %r, stderr %r"
                                 % (line[0], self.process.stderr.read()))
        # A server on every interface is reached through loopback.
        host = "127.0.0.1" if match.group(1) in ("0.0.0.0", "[::]") else match.group(1)
        self.port = int(match.group(2))
        self.url = "http://%s:%d/" % (host, self.port)
        self.token = match.group(4)
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
            assert err == self.expected_err, err
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
