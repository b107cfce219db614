"""Times `counter` as whole CGI processes, the way a web server runs it, page by page beside
cgi_sqlite (the same page done the plain way over SQLite, giflib for the skin preview) on the
same data, and next to a trivial CGI program in C started the same way (the process-start floor):
10,000 hosts (or HOSTS), 500 site pages, 300 referring sites. A second floor is what the file
format allows the host list pages: trie_walk_floor, a C program, reading every host and its
record from the counter's file with every CRC checked.

Usage: /usr/bin/python3 bench/cgi_bench.py BUILD_DIR [RUNS] [CASE_FILTER] [HOSTS] [shuffled]
BUILD_DIR holds webadmin/counter and bench/cgi_bench_db, cgi_sqlite, cgi_trivial, trie_walk_floor
(a release build is best); CASE_FILTER, a regular expression, picks cases by name (the floor always runs);
"shuffled" adds the hosts in no order, as visitors come, instead of by address.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# name, query; each page runs in counter and in cgi_sqlite.
CASES = [
    ("About page", ""),
    ("editinterval (settings page)", "page=editinterval"),
    ("bradv (500 site pages)", "page=bradv"),
    ("brref (300 referring sites)", "page=brref"),
    ("brdate current month (500 pages x days)", "page=brdate&type=lmd&nodes=all&nname="),
    ("browse col=20 (hosts sorted)", "page=browse&col=20"),
    ("editip (hosts listed)", "page=editip"),
    ("skin=0 preview (GIF)", "skin=0"),
]
FLOOR = "trivial C CGI program (floor)"
FORMAT_FLOOR = "host list read in C (format floor)"
HOST_LIST_LINK = "3"  # the counter's root link to its host list


def run_once(program, query):
    env = {"PATH": "/usr/bin:/bin", "SERVER_PROTOCOL": "HTTP/1.1", "REQUEST_METHOD": "GET",
           "SCRIPT_NAME": "/cgi-bin/counter", "QUERY_STRING": query}
    start = time.perf_counter()
    result = subprocess.run([program], env=env, cwd=os.path.dirname(program), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, check=True)
    elapsed = time.perf_counter() - start
    if not result.stdout.startswith(b"Status: 200 OK\r\n"):
        raise RuntimeError("unexpected answer from %s?%s: %r" % (program, query, result.stdout[:200]))
    return elapsed * 1000.0


def run_floor(program, folder):
    start = time.perf_counter()
    subprocess.run([program, os.path.join(folder, "counter.ostra"), HOST_LIST_LINK, "values"],
                   stdout=subprocess.DEVNULL, check=True)
    return (time.perf_counter() - start) * 1000.0


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    wanted = re.compile(sys.argv[3] if len(sys.argv) > 3 else "")
    hosts = sys.argv[4] if len(sys.argv) > 4 else "10000"
    order = sys.argv[5:6]
    cases = [case for case in CASES if wanted.search(case[0])]
    folder = tempfile.mkdtemp(prefix="kestrow-cgi-bench-")
    try:
        programs = {}
        for name, built in (("counter", "webadmin/counter"), ("sqlite", "bench/cgi_sqlite"),
                            ("trivial", "bench/cgi_trivial"), ("walk", "bench/trie_walk_floor")):
            programs[name] = os.path.join(folder, name)
            shutil.copy2(os.path.join(build, built), programs[name])
        subprocess.run([os.path.join(build, "bench", "cgi_bench_db"), os.path.join(folder, "counter.ostra"),
                        hosts, "500", programs["sqlite"] + ".sqlite"] + order, check=True)

        runs_of = [(FLOOR, "trivial", ""), (FORMAT_FLOOR, "walk", "")]
        for name, query in cases:
            runs_of += [(name, "counter", query), (name, "sqlite", query)]

        def run(program, query):
            if program == "walk":
                return run_floor(programs[program], folder)
            return run_once(programs[program], query)

        # Interleaved rounds, so that drifts of the machine touch every case alike.
        times = {(name, program): [] for name, program, _ in runs_of}
        for name, program, query in runs_of:
            run(program, query)  # warm the page cache
        for _ in range(runs):
            for name, program, query in runs_of:
                times[(name, program)].append(run(program, query))

        floor = statistics.median(times[(FLOOR, "trivial")])
        print("%d runs each, %s hosts%s; milliseconds per whole CGI process (median, p95)" %
              (runs, hosts, " added in no order" if order else ""))
        print("%-42s %8.2f %8.2f" % (FLOOR, floor, percentile(times[(FLOOR, "trivial")], 0.95)))
        walks = times[(FORMAT_FLOOR, "walk")]
        print("%-42s %8.2f %8.2f" % (FORMAT_FLOOR, statistics.median(walks), percentile(walks, 0.95)))
        print("%-42s %8s %8s %8s %8s %7s %12s" % ("page", "counter", "p95", "SQLite", "p95", "ratio",
                                                   "counter-floor"))
        for name, _ in cases:
            ours, theirs = times[(name, "counter")], times[(name, "sqlite")]
            print("%-42s %8.2f %8.2f %8.2f %8.2f %7.2f %12.2f" % (
                name, statistics.median(ours), percentile(ours, 0.95), statistics.median(theirs),
                percentile(theirs, 0.95), statistics.median(ours) / statistics.median(theirs),
                statistics.median(ours) - floor))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
