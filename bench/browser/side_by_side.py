#!/usr/bin/env python3
"""sirano-cli capture and fill as whole processes, side by side with the peer client (peer.py).

Starts the fixture page server and a headless Chromium whose profile is the data folder's
"browser" (so DevToolsActivePort finds it), opens 20 tabs of 50 filled inputs, then alternates
runs of each command with the peer's run doing the same reads or writes, both ways of finding
the browser: --browser PORT (/json/version) and the profile's DevToolsActivePort. Then once more
with 60 more execution contexts in each page (isolated worlds of another client, as extensions
and other tools make them): a client that asks every page for its contexts pays for each.

  side_by_side.py SIRANO_CLI [--runs N]      (default 11)
"""
import argparse, json, os, shutil, signal, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "..", "tests", "fixtures")
sys.path.insert(0, HERE)
import peer  # noqa: E402

TABS = 20
CONTEXTS = 60
CHROMIUM = "/usr/lib/chromium/chromium"


def timed(cmd, env):
    start = time.perf_counter()
    done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    ms = (time.perf_counter() - start) * 1000
    if done.returncode != 0:
        sys.exit(f"side_by_side: {' '.join(cmd)} failed:\n{done.stderr.decode()}")
    return ms


def main():
    p = argparse.ArgumentParser()
    p.add_argument("cli")
    p.add_argument("--runs", type=int, default=11)
    args = p.parse_args()

    tmp = tempfile.mkdtemp(prefix="sirano-side-")
    # The user's own data folder: its data file's browser profile is the folder's "browser".
    data = os.path.join(tmp, "share", "sirano")
    profile = os.path.join(data, "browser")
    os.makedirs(profile)
    os.chmod(data, 0o700)
    env = dict(os.environ, HOME=tmp, XDG_DATA_HOME=os.path.join(tmp, "share"))
    server = subprocess.Popen([sys.executable, os.path.join(FIXTURES, "pageserver.py"),
                               os.path.join(FIXTURES, "pages")], stdout=subprocess.PIPE)
    site = int(server.stdout.readline())
    browser = subprocess.Popen(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--no-first-run", f"--user-data-dir={profile}", "--remote-debugging-port=0",
         "about:blank"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port_file = os.path.join(profile, "DevToolsActivePort")
        for _ in range(500):
            if os.path.exists(port_file) and open(port_file).read().count("\n") >= 1:
                break
            time.sleep(0.02)
        port, path = open(port_file).read().split("\n")[:2]
        port = int(port)
        ws = peer.Socket(port, path)
        for i in range(TABS):
            ws.call("Target.createTarget",
                    {"url": f"http://127.0.0.1:{site}/fifty.html?tab={i:02d}", "background": True})
        peer_env = dict(env)
        for _ in range(250):
            out = subprocess.run([sys.executable, os.path.join(HERE, "peer.py"), "read",
                                  "--port", str(port)], capture_output=True, text=True).stdout
            if out.startswith(f"peer read: {TABS} pages, {TABS * 50} fields"):
                break
            time.sleep(0.1)
        else:
            sys.exit("side_by_side: the tabs did not load")

        dat = os.path.join(data, "SIRANO.DAT")
        fill_doc = os.path.join(tmp, "fill.json")
        with open(fill_doc, "w") as f:
            json.dump({"format": "sirano", "version": 1,
                       "settings": {"masterPassword": "", "autoLoginAtStart": 0,
                                    "autoLogoutMinutes": 0},
                       "sites": [{"title": "all", "url": f"http://127.0.0.1:{site}/fifty.html",
                                  "urlKeyword": "",
                                  "fields": [{"formIndex": 0, "elementIndex": j, "type": "text",
                                              "name": f"f{j}", "value": f"filled {j}"}
                                             for j in range(50)]}]}, f)
        peer_cmd = [sys.executable, os.path.join(HERE, "peer.py")]
        ways = {"--browser PORT": (["--browser", str(port)], ["--port", str(port)]),
                "DevToolsActivePort": ([], ["--profile", profile])}

        def measure(runs):
            rows = []
            for op in ("capture", "fill"):
                if op == "fill":
                    subprocess.run([args.cli, "import", fill_doc, "--force", "--data", dat],
                                   env=env, check=True, stdout=subprocess.DEVNULL)
                for way, (cli_args, peer_args) in ways.items():
                    ours, theirs = [], []
                    for _ in range(runs):
                        if op == "capture" and os.path.exists(dat):
                            os.remove(dat)
                        cmd = [args.cli, op] + (["0"] if op == "fill" else []) + cli_args + [
                            "--data", dat]
                        ours.append(timed(cmd, env))
                        theirs.append(timed(peer_cmd + ["read" if op == "capture" else "write"] +
                                            peer_args + ["--match", "fifty.html"], peer_env))
                    rows.append((f"{op}, {way}", statistics.median(ours),
                                 statistics.median(theirs)))
            return rows

        # This client stays attached to every page throughout: a page that no client is attached
        # to any more sets its DevTools agents aside, and making them again costs each later
        # client's first command more than the worlds below would.
        sessions = [ws.call("Target.attachToTarget",
                            {"targetId": t["targetId"], "flatten": True})["sessionId"]
                    for t in ws.call("Target.getTargets", {})["targetInfos"]
                    if "fifty.html" in t["url"]]
        measure(2)  # the first runs after the tabs load are slower for both
        plain = measure(args.runs)
        # 60 more contexts in every page of the benchmark.
        for session in sessions:
            frame = ws.call("Page.getFrameTree", {}, session)["frameTree"]["frame"]["id"]
            for k in range(CONTEXTS):
                ws.call("Page.createIsolatedWorld", {"frameId": frame, "worldName": f"other{k}"},
                        session)
        crowded = measure(args.runs)

        print(f"whole process, {TABS} tabs x 50 inputs, median of {args.runs} runs "
              f"(load average {os.getloadavg()[0]:.2f})")
        for (what, ours, theirs), (_, ours60, theirs60) in zip(plain, crowded):
            ratio, ratio60 = ours / theirs, ours60 / theirs60
            print(f"  {what:30s} sirano-cli {ours:8.1f} ms   peer {theirs:8.1f} ms   "
                  f"ratio {ratio:5.2f}")
            print(f"  {'  with ' + str(CONTEXTS) + ' more contexts':30s} sirano-cli "
                  f"{ours60:8.1f} ms   peer {theirs60:8.1f} ms   ratio {ratio60:5.2f} "
                  f"({100 * (ratio60 / ratio - 1):+.0f} %)")
    finally:
        browser.send_signal(signal.SIGTERM)
        server.send_signal(signal.SIGTERM)
        browser.wait()
        server.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
