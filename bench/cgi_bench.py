"""Times `counter` as whole CGI processes, the way a web server runs it: the About page and
database pages on a database of 10,000 hosts and 500 site pages, next to a trivial CGI
program started the same way (the process-start floor).

Usage: /usr/bin/python3 bench/cgi_bench.py BUILD_DIR [RUNS] [CASE_FILTER]
BUILD_DIR holds webadmin/counter and bench/cgi_bench_db (a release build is best); CASE_FILTER,
a regular expression, picks cases by name (the floor always runs).
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TRIVIAL_SOURCE = r"""
#include <cstdio>
#include <string>
int main() {
    std::string body = "<html><body>hello</body></html>";
    std::printf("Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: %zu\r\nContent:\r\n\r\n%s",
                body.size(), body.c_str());
    return 0;
}
"""

CASES = [
    ("trivial CGI program (floor)", "trivial", ""),
    ("About page", "counter", ""),
    ("editinterval (settings page)", "counter", "page=editinterval"),
    ("bradv (500 site pages)", "counter", "page=bradv"),
    ("brref (300 referring sites)", "counter", "page=brref"),
    ("brdate current month (500 pages x days)", "counter", "page=brdate&type=lmd&nodes=all&nname="),
    ("browse col=20 (10,000 hosts sorted)", "counter", "page=browse&col=20"),
    ("editip (10,000 hosts listed)", "counter", "page=editip"),
]


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


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    wanted = re.compile(sys.argv[3] if len(sys.argv) > 3 else "")
    cases = [CASES[0]] + [case for case in CASES[1:] if wanted.search(case[0])]
    folder = tempfile.mkdtemp(prefix="kestrow-cgi-bench-")
    try:
        counter = os.path.join(folder, "counter")
        shutil.copy2(os.path.join(build, "webadmin", "counter"), counter)
        subprocess.run([os.path.join(build, "bench", "cgi_bench_db"), os.path.join(folder, "counter.ostra"),
                        "10000", "500"], check=True)
        trivial = os.path.join(folder, "trivial")
        with open(trivial + ".cpp", "w") as source:
            source.write(TRIVIAL_SOURCE)
        subprocess.run(["c++", "-O2", "-o", trivial, trivial + ".cpp"], check=True)
        programs = {"counter": counter, "trivial": trivial}

        # Interleaved rounds, so that drifts of the machine touch every case alike.
        times = {name: [] for name, _, _ in cases}
        for name, program, query in cases:
            run_once(programs[program], query)  # warm the page cache
        for _ in range(runs):
            for name, program, query in cases:
                times[name].append(run_once(programs[program], query))

        floor = statistics.median(times[CASES[0][0]])
        print("%d runs each; milliseconds per whole CGI process" % runs)
        print("%-40s %8s %8s %14s" % ("case", "median", "p95", "median-floor"))
        for name, _, _ in cases:
            median = statistics.median(times[name])
            print("%-40s %8.2f %8.2f %14.2f" % (name, median, percentile(times[name], 0.95), median - floor))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
