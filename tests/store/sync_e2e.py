#!/usr/bin/env python3
"""Two machines, one data file, kept equal by a real sync engine.

Two Syncthing instances on loopback only (no discovery, relays, NAT traversal, usage or crash
reports), each sharing one folder with the other; each folder holds the data file of its own
sirano-cli (its own per-user folder, as on another machine). A site written on one side
appears on the other; both sides changed while one is stopped leave a conflict copy, which
`sirano-cli merge` brings in, and after the next sync both sides hold every site. No lock or
browser profile lands in the synced folder. Everything is stopped at the end.

Usage: sync_e2e.py SIRANO_CLI   (exit 77 when syncthing is missing)
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ET

CLI = sys.argv[1]
DEADLINE = int(os.environ.get("SYNC_DEADLINE", "90"))  # seconds for each sync to happen


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=DEADLINE):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.5)
    raise SystemExit("FAIL: " + what)


class Machine:
    def __init__(self, root, name):
        self.name = name
        base = os.path.join(root, name)
        self.home = os.path.join(base, "syncthing")
        self.synced = os.path.join(base, "Sync")
        self.own_data = os.path.join(base, "local-share")  # the machine's XDG_DATA_HOME
        os.makedirs(os.path.join(self.synced, ".stfolder"))
        os.makedirs(self.own_data)
        self.data_file = os.path.join(self.synced, "SIRANO.DAT")
        self.gui = free_port()
        self.listen = free_port()
        self.key = "key-" + name
        self.proc = None
        subprocess.run(["syncthing", "generate", "--home", self.home, "--no-default-folder",
                        "--skip-port-probing"], check=True, stdout=subprocess.DEVNULL)
        self.device = subprocess.run(["syncthing", "serve", "--home", self.home, "--device-id"],
                                     check=True, capture_output=True, text=True).stdout.strip()

    def configure(self, other):
        path = os.path.join(self.home, "config.xml")
        tree = ET.parse(path)
        root = tree.getroot()
        gui = root.find("gui")
        gui.find("address").text = "127.0.0.1:%d" % self.gui
        (gui.find("apikey") if gui.find("apikey") is not None
         else ET.SubElement(gui, "apikey")).text = self.key
        options = root.find("options")
        for listen in options.findall("listenAddress"):
            options.remove(listen)
        ET.SubElement(options, "listenAddress").text = "tcp://127.0.0.1:%d" % self.listen
        for key, value in {"globalAnnounceEnabled": "false", "localAnnounceEnabled": "false",
                           "relaysEnabled": "false", "natEnabled": "false", "urAccepted": "-1",
                           "crashReportingEnabled": "false", "startBrowser": "false",
                           "autoUpgradeIntervalH": "0"}.items():
            element = options.find(key)
            if element is None:
                element = ET.SubElement(options, key)
            element.text = value
        peer = ET.SubElement(root, "device", id=other.device, name=other.name,
                             compression="metadata", introducer="false")
        ET.SubElement(peer, "address").text = "tcp://127.0.0.1:%d" % other.listen
        folder = ET.SubElement(root, "folder", id="sirano", label="sirano", path=self.synced,
                               type="sendreceive", rescanIntervalS="2", fsWatcherEnabled="true",
                               fsWatcherDelayS="1")
        ET.SubElement(folder, "device", id=self.device)
        ET.SubElement(folder, "device", id=other.device)
        # Spelled out: a folder written by hand gets no copies of conflicts otherwise.
        ET.SubElement(folder, "maxConflicts").text = "10"
        tree.write(path)

    def start(self):
        env = dict(os.environ, STNOUPGRADE="1", STNODEFAULTFOLDER="1")
        self.proc = subprocess.Popen(
            ["syncthing", "serve", "--home", self.home, "--no-browser", "--no-restart",
             "--no-upgrade", "--logfile", os.path.join(self.home, "syncthing.log")],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(self.name + "'s syncthing answers", self.answers, 30)

    def answers(self):
        try:
            request = urllib.request.Request("http://127.0.0.1:%d/rest/system/ping" % self.gui,
                                             headers={"X-API-Key": self.key})
            with urllib.request.urlopen(request, timeout=2) as reply:
                return reply.status == 200
        except OSError:
            return False

    def rest(self, path):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.gui, path),
                                         headers={"X-API-Key": self.key})
        with urllib.request.urlopen(request, timeout=5) as reply:
            return json.load(reply)

    def local_version(self):
        try:
            return self.rest("/rest/db/file?folder=sirano&file=SIRANO.DAT")["local"]["version"]
        except (OSError, KeyError, ValueError):
            return None

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def cli(self, *args, stdin=""):
        env = dict(os.environ, XDG_DATA_HOME=self.own_data, HOME=os.path.dirname(self.own_data))
        return subprocess.run([CLI, *args, "--data", self.data_file], env=env, input=stdin,
                              capture_output=True, text=True, timeout=60)

    def sites(self):
        if not os.path.exists(self.data_file):
            return []
        result = self.cli("list")
        if result.returncode != 0:
            return []  # being replaced this moment
        return [line.split("\t")[1] for line in result.stdout.splitlines() if "\t" in line]

    def conflict_copies(self):
        return sorted(n for n in os.listdir(self.synced) if n.startswith("SIRANO.sync-conflict-"))


def write_sites(machine, titles, replace):
    document = {"format": "sirano", "version": 1,
                "settings": {"masterPassword": "", "autoLoginAtStart": 1, "autoLogoutMinutes": 0},
                "sites": [{"title": t, "url": "https://%s.example/login" % t.lower(),
                           "urlKeyword": "",
                           "fields": [{"formIndex": 0, "elementIndex": 0, "type": "text",
                                       "name": "user", "value": t.lower()}]} for t in titles]}
    path = os.path.join(os.path.dirname(machine.synced), "sites.json")
    with open(path, "w") as f:
        json.dump(document, f)
    result = machine.cli("import", path, *(["--force"] if replace else []))
    if result.returncode != 0:
        raise SystemExit("FAIL: import on %s: %s" % (machine.name, result.stderr))


def main():
    if shutil.which("syncthing") is None:
        print("SKIP: syncthing is not installed")
        return 77
    root = tempfile.mkdtemp(prefix="sirano-sync-")
    a = Machine(root, "desktop")
    b = Machine(root, "laptop")
    try:
        a.configure(b)
        b.configure(a)
        a.start()
        b.start()

        write_sites(a, ["Alpha"], replace=False)
        wait_for("Alpha reaches the laptop", lambda: b.sites() == ["Alpha"])
        print("ok: a site written on the desktop is on the laptop")

        # Both change the file while the laptop is away; the desktop's syncthing has seen its
        # change before the laptop comes back, as it would over a longer absence.
        b.stop()
        before = a.local_version()
        write_sites(a, ["Alpha", "Beta"], replace=True)
        wait_for("the desktop's syncthing sees the change", lambda: a.local_version() != before)
        write_sites(b, ["Alpha", "Gamma"], replace=True)
        b.start()
        wait_for("a conflict copy", lambda: a.conflict_copies() or b.conflict_copies())
        side = a if a.conflict_copies() else b
        copy = os.path.join(side.synced, side.conflict_copies()[0])
        print("ok: conflict copy %s on the %s" % (os.path.basename(copy), side.name))

        merged = side.cli("merge", copy)
        if merged.returncode != 0:
            raise SystemExit("FAIL: merge: " + merged.stderr)
        print(merged.stdout.strip())
        os.remove(copy)
        every = ["Alpha", "Beta", "Gamma"]
        wait_for("every site on both sides and no conflict copy left",
                 lambda: sorted(a.sites()) == every and sorted(b.sites()) == every and
                 not a.conflict_copies() and not b.conflict_copies())
        print("ok: both machines hold", ", ".join(every))

        for m in (a, b):
            # Syncthing's own temporaries (".syncthing.*.tmp") are its business.
            stray = [n for n in os.listdir(m.synced) if n not in ("SIRANO.DAT", ".stfolder") and
                     not n.startswith(".syncthing.")]
            if stray:
                raise SystemExit("FAIL: in the synced folder of the %s: %s" % (m.name, stray))
        print("ok: no lock, profile or temporary file in the synced folders")
        return 0
    except SystemExit:
        for m in (a, b):
            print("--- %s: %s %s" % (m.name, os.listdir(m.synced), m.sites()))
            try:
                print(m.rest("/rest/db/file?folder=sirano&file=SIRANO.DAT"))
                print(m.rest("/rest/db/status?folder=sirano"))
            except OSError as e:
                print(e)
            with open(os.path.join(m.home, "syncthing.log"), errors="replace") as log:
                print("".join(log.readlines()[-25:]))
        raise
    finally:
        a.stop()
        b.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
