#!/usr/bin/env python3
"""Measures ca-import against references run side by side, over loopback HTTP.

Every case runs each command several times, alternating them, and prints
the median wall time and the peak resident memory of each, and their ratio.
Absolute times on a shared machine are noise; the ratios are the result.

  bench.py --program CA_IMPORT --generator MAKE_BENCH_CRL [--small] [--runs N]

Cases (the sizes are those of --small in brackets):
  small      a certificate and a 1,000-entry CRL into a new store, against
             the standard-tools route: two curl downloads, then openssl x509
             and openssl crl writing PEM under their hash names
  new        a certificate and a 1,000,000-entry [20,000] CRL into an empty
             store, against the floor: curl of both items and
             openssl crl -inform DER -noout
  replacing  the same CRL's successor replacing it, against the same floor
  partition  the 64th [8th] CRL of one issuer (each 20,000 [500] entries,
             told apart by their Issuing Distribution Point) against the 1st
  large      a certificate and a 1,000-entry CRL into a store of 100,000
             [2,000] entries under many hashes, against an empty store
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "loopback_server.py")
TIME = "/usr/bin/time"


def run_once(argv, cwd, env):
    """Runs argv to its end: wall seconds and peak resident memory (MiB).

    GNU time measures the memory: a child forked from this process would
    count this interpreter's own memory as its peak."""
    report = os.path.join(cwd, "..", "time-report")
    start = time.perf_counter()
    process = subprocess.run([TIME, "-f", "%M", "-o", report] + argv, cwd=cwd, env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if process.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (process.returncode, " ".join(argv),
                                           process.stderr.decode()))
    with open(report) as f:
        peak = int(f.read().split()[-1]) / 1024.0
    return elapsed, peak


class Bench:
    def __init__(self, options, work):
        self.options = options
        self.work = work
        self.fixtures = os.path.join(work, "fixtures")
        self.cwd = os.path.join(work, "cwd")
        os.makedirs(self.fixtures)
        os.makedirs(self.cwd)
        self.env = dict(os.environ, HOME=os.path.join(work, "home"),
                        XDG_DATA_HOME=os.path.join(work, "data"), LC_ALL="C")
        for proxy in ("http_proxy", "https_proxy", "all_proxy", "ALL_PROXY"):
            self.env.pop(proxy, None)
        self.store = os.path.join(work, "data", "certstore", "CA")
        self.rows = []

    def generate(self, name, entries, distribution_point="", seconds_ago=0):
        subprocess.run([self.options.generator, self.fixtures, name, str(entries),
                        distribution_point, str(seconds_ago)], check=True)

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def program(self, crl):
        return [self.options.program, self.url("issuer.cer"), self.url(crl)]

    def floor(self, crl):
        script = ('curl -sf -o cert.cer "$1" && curl -sf -o item.crl "$2" && '
                  'openssl crl -inform DER -in item.crl -noout && rm -f cert.cer item.crl')
        return ["bash", "-c", script, "floor", self.url("issuer.cer"), self.url(crl)]

    def tools(self, crl):
        script = ('set -e; curl -sf -o cert.cer "$1"; curl -sf -o item.crl "$2"; '
                  'h=$(openssl x509 -inform DER -in cert.cer -noout -hash); '
                  'openssl x509 -inform DER -in cert.cer -out "$3/$h.0"; '
                  'h=$(openssl crl -inform DER -in item.crl -noout -hash); '
                  'openssl crl -inform DER -in item.crl -out "$3/$h.r0"; rm -f cert.cer item.crl')
        return ["bash", "-c", script, "tools", self.url("issuer.cer"), self.url(crl), self.store]

    def measure(self, label, commands, prepare):
        """Runs each of commands (name, argv) runs times, alternating, each
        after prepare(name). Returns {name: (median seconds, peak MiB)}."""
        samples = {name: [] for name, _ in commands}
        peaks = {name: 0.0 for name, _ in commands}
        for _ in range(self.options.runs):
            for name, argv in commands:
                prepare(name)
                elapsed, peak = run_once(argv, self.cwd, self.env)
                samples[name].append(elapsed)
                peaks[name] = max(peaks[name], peak)
        result = {name: (statistics.median(samples[name]), peaks[name]) for name, _ in commands}
        for name, _ in commands:
            print("  %-28s %9.1f ms  %8.1f MiB" % (label + ": " + name, result[name][0] * 1000,
                                                    result[name][1]), flush=True)
        return result

    def reset_store(self, saved=None):
        shutil.rmtree(os.path.join(self.work, "data"), ignore_errors=True)
        if saved:
            shutil.copytree(saved, self.store, symlinks=True)

    def save_store(self, name):
        saved = os.path.join(self.work, "saved-" + name)
        shutil.copytree(self.store, saved, symlinks=True)
        return saved

    def ratio(self, what, value, target, note=""):
        verdict = "met" if value <= target else "MISSED"
        self.rows.append((what, value, target, verdict, note))

    def run(self):
        small = self.options.small
        big_entries = 20000 if small else 1000000
        parts = 8 if small else 64
        part_entries = 500 if small else 20000
        store_entries = 2000 if small else 100000
        print("Generating fixtures in %s" % self.fixtures, flush=True)
        self.generate("small.crl", 1000)
        self.generate("big-previous.crl", big_entries, "", 3600)
        self.generate("big.crl", big_entries)
        for i in range(1, parts + 1):
            self.generate("part-%d.crl" % i, part_entries,
                          "http://pki.example.org/part-%d.crl" % i)
        big_size = os.path.getsize(os.path.join(self.fixtures, "big.crl"))

        state = os.path.join(self.work, "server")
        os.makedirs(state)
        server = subprocess.Popen([sys.executable, SERVER, "--state", state,
                                   "--docroot", self.fixtures],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = json.loads(server.stdout.readline())["http"]
        try:
            self.cases(big_entries, big_size, parts, store_entries)
        finally:
            server.stdin.close()
            server.wait()
        self.report(big_size)

    def cases(self, big_entries, big_size, parts, store_entries):
        print("small: a certificate and a 1,000-entry CRL, new store", flush=True)
        small = self.measure("small", [("ca-import", self.program("small.crl")),
                                       ("standard tools", self.tools("small.crl"))],
                             lambda name: (self.reset_store(), os.makedirs(self.store)))
        self.ratio("small items: ca-import / standard tools",
                   small["ca-import"][0] / small["standard tools"][0], 0.25)

        print("new: a %d-entry CRL (%.1f MB), empty store" % (big_entries, big_size / 1e6),
              flush=True)
        new = self.measure("new", [("ca-import", self.program("big.crl")),
                                   ("floor", self.floor("big.crl"))],
                           lambda name: self.reset_store())
        self.ratio("large CRL, new: ca-import / floor", new["ca-import"][0] / new["floor"][0], 1.0)

        self.reset_store()
        run_once(self.program("big-previous.crl"), self.cwd, self.env)
        previous = self.save_store("previous")
        print("replacing: its successor replacing it", flush=True)
        replacing = self.measure("replacing", [("ca-import", self.program("big.crl")),
                                               ("floor", self.floor("big.crl"))],
                                 lambda name: self.reset_store(previous))
        self.ratio("large CRL, replacing: ca-import / floor",
                   replacing["ca-import"][0] / replacing["floor"][0], 1.0)
        limit = (2 * big_size) / 2**20 + 32
        self.ratio("large CRL, new: peak MiB", new["ca-import"][1], limit,
                   "2 x file + 32 MiB; the floor: %.0f MiB" % new["floor"][1])
        self.ratio("large CRL, replacing: peak MiB", replacing["ca-import"][1], limit,
                   "2 x file + 32 MiB")

        self.reset_store()
        for i in range(1, parts):
            run_once(self.program("part-%d.crl" % i), self.cwd, self.env)
        full = self.save_store("partitions")
        print("partition: the 1st and the %dth CRL of one issuer" % parts, flush=True)
        first = self.measure("partition", [("1st", self.program("part-1.crl"))],
                             lambda name: self.reset_store())
        last = self.measure("partition", [("%dth" % parts, self.program("part-%d.crl" % parts))],
                            lambda name: self.reset_store(full))
        self.ratio("partitioned CRLs: %dth add / 1st" % parts,
                   last["%dth" % parts][0] / first["1st"][0], 1.5)

        self.reset_store()
        run_once(self.program("small.crl"), self.cwd, self.env)
        added = [n for n in os.listdir(self.store) if not n.startswith(".")]
        template = open(os.path.join(self.store, next(n for n in added if ".r" not in n))).read()
        for i in range(store_entries):
            # Entries under other hashes: the add never reads them.
            with open(os.path.join(self.store, "%08x.0" % (0x10000000 + i * 7919)), "w") as f:
                f.write(template)

        def clear_added(name):
            for entry in added:
                path = os.path.join(self.store, entry)
                if os.path.exists(path):
                    os.remove(path)

        print("large: an add into a store of %d entries, and into an empty one" % store_entries,
              flush=True)
        crowded = self.measure("large", [("%d entries" % store_entries,
                                          self.program("small.crl"))], clear_added)
        empty = self.measure("large", [("empty", self.program("small.crl"))],
                             lambda name: self.reset_store())
        self.ratio("add into %d entries / into empty" % store_entries,
                   crowded["%d entries" % store_entries][0] / empty["empty"][0], 1.5)

    def report(self, big_size):
        print()
        print("%-48s %8s %8s  %s" % ("ratio", "value", "target", ""))
        for what, value, target, verdict, note in self.rows:
            print("%-48s %8.2f %8.2f  %s%s" % (what, value, target, verdict,
                                              "  (" + note + ")" if note else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--small", action="store_true", help="small inputs, one run each")
    parser.add_argument("--runs", type=int, default=0, help="runs per command (5; 1 with --small)")
    parser.add_argument("--keep", help="work in this directory and keep it")
    options = parser.parse_args()
    options.program = os.path.abspath(options.program)
    options.generator = os.path.abspath(options.generator)
    if options.runs == 0:
        options.runs = 1 if options.small else 5
    for tool in ("curl", "openssl", "bash", TIME):
        if shutil.which(tool) is None:
            sys.exit("bench needs %s" % tool)
    work = options.keep or tempfile.mkdtemp(prefix="ca-import-bench-")
    try:
        Bench(options, work).run()
    finally:
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
