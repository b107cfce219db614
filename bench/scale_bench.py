"""How the counter's requests grow with its database: each page and each small change as a whole
CGI process, at 10,000, 100,000 and 1,000,000 hosts (site pages = hosts/20, referring sites =
hosts/10, a year of days, hosts added in no order), beside cgi_sqlite doing the same on the same
data. For each request: instructions (callgrind, which the machine's load does not blur), CPU
time with and without transparent huge pages (median of alternating rounds), peak memory, and
the bytes of the database file a cold request reads (page cache residency after eviction).

Usage: /usr/bin/python3 bench/scale_bench.py BUILD_DIR [SIZES] [RUNS] [CASE_FILTER] [--no-instructions]
SIZES is a comma-separated list of host counts (10000,100000,1000000); RUNS the rounds of CPU
time (5); CASE_FILTER a regular expression over the case names. The databases are made once and
kept in BUILD_DIR/scale-data/HOSTS (remove that folder to make them anew); every change is undone
after it is measured, so the kept files stay the same.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys

SITE_DAYS = "365"

# name, the counter's query, the yardsticks' (label, query), the query that undoes a change.
CASES = [
    ("About page", "", [("SQLite", "")], None),
    ("skin=0 preview (GIF)", "skin=0", [("SQLite", "skin=0")], None),
    ("editsname (site name change)", "page=editsname&ed=Scale", [("SQLite", "page=editsname&ed=Scale")], None),
    ("editskip add (one skip entry)", "page=editskip&ed=add&val=192.0.2.1",
     [("SQLite", "page=editskip&ed=add&val=192.0.2.1")], "page=editskip&ed=del&val=192.0.2.1"),
    ("editip add (one address)", "page=editip&ed=add&val=192.0.2.7",
     [("SQLite", "page=editip&ed=add&val=192.0.2.7")], "page=editip&ed=del&val=192.0.2.7"),
    ("editip (the list alone)", "page=editip", [("SQLite", "page=editip")], None),
    ("bradv add (one site page)", "page=bradv&ed=add&val=%2Fscale.html",
     [("SQLite", "page=bradv&ed=add&val=/scale.html")], "page=bradv&ed=del&val=%2Fscale.html"),
    ("bradv (site pages)", "page=bradv", [("SQLite", "page=bradv")], None),
    ("brdate current month", "page=brdate&type=lmd&nodes=all&nname=",
     [("SQLite", "page=brdate&type=lmd&nodes=all&nname=")], None),
    # The file keeps no order by date: the fair yardstick scans every host; SQLite with an index
    # on the date is the stricter second line.
    ("browse col=20", "page=browse&col=20",
     [("SQLite", "page=browse&col=20&scan=1"), ("SQLite+index", "page=browse&col=20")], None),
]


def environment(query):
    return {"PATH": "/usr/bin:/bin", "SERVER_PROTOCOL": "HTTP/1.1", "REQUEST_METHOD": "GET",
            "SCRIPT_NAME": "/cgi-bin/counter", "QUERY_STRING": query}


def run(command, query, folder, capture_stderr=False, huge_pages=True):
    """Runs one request through run_usage; returns (CPU seconds, peak KiB, stderr)."""
    answer, errors, report = (os.path.join(folder, name) for name in ("answer", "errors", "report"))
    launcher = [os.path.join(folder, "run_usage"), report] + ([] if huge_pages else ["--no-thp"])
    with open(answer, "wb") as out, open(errors if capture_stderr else os.devnull, "wb") as err:
        subprocess.run(launcher + command, env=environment(query), stdout=out, stderr=err, check=True)
    with open(answer, "rb") as file:
        output = file.read(4096)
    with open(report) as file:
        cpu, peak, code = (int(word) for word in file.read().split())
    if code != 0 or not output.startswith(b"Status: 200 OK\r\n") or b"Refused:" in output:
        raise RuntimeError("%s?%s answered %r (exit %d)" % (command[-1], query, output[:300], code))
    error = open(errors, errors="replace").read() if capture_stderr else ""
    return cpu / 1e6, peak, error


def instructions(program, query, folder):
    _, _, error = run(["/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", program], query,
                      folder, capture_stderr=True)
    return int(re.search(r"Collected : (\d+)", error).group(1))


def data_files(folder, kind):
    stem = {"counter": "counter.ostra", "sqlite": "sqlite.sqlite"}[kind]
    return [os.path.join(folder, name) for name in os.listdir(folder) if name.startswith(stem)]


def bytes_read(program, query, folder, kind):
    """Bytes of the database's files (with journal or log) that the request brought into the page
    cache, read or mapped, after they were evicted: what a cold request reads from the disk."""
    for path in data_files(folder, kind):
        descriptor = os.open(path, os.O_RDONLY)
        os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(descriptor)
    run([program], query, folder)
    resident = subprocess.run(["/usr/bin/fincore", "--bytes", "--noheadings", "--output", "RES"] +
                              data_files(folder, kind), stdout=subprocess.PIPE, check=True, text=True).stdout
    return sum(int(line) for line in resident.split())


def prepare(build, hosts):
    data = os.path.join(build, "scale-data", str(hosts))
    if not os.path.exists(os.path.join(data, "done")):
        shutil.rmtree(data, ignore_errors=True)
        os.makedirs(data)
        subprocess.run([os.path.join(build, "bench", "cgi_bench_db"), os.path.join(data, "counter.ostra"),
                        str(hosts), str(hosts // 20), os.path.join(data, "sqlite.sqlite"), "shuffled",
                        str(hosts // 10), SITE_DAYS], check=True)
        open(os.path.join(data, "done"), "w").close()
    for name, built in (("counter", "webadmin/counter"), ("sqlite", "bench/cgi_sqlite"), ("run_usage", "bench/run_usage")):
        shutil.copy2(os.path.join(build, built), os.path.join(data, name))
    return data


def measure(build, hosts, runs, cases, count_instructions):
    folder = prepare(build, hosts)
    program = {name: os.path.join(folder, name) for name in ("counter", "sqlite")}
    # (case, label) -> program, query, undo
    # A change carries the proof that it comes from the program's own page: the secret that a
    # form page makes beside the database.
    run([program["counter"]], "page=editsname", folder)
    with open(os.path.join(folder, "counter.ostra-key")) as file:
        proof = "&proof=" + file.read().strip()
    requests = []
    for name, query, yardsticks, undo in cases:
        signed = (query + proof if "ed=" in query else query), undo and undo + proof
        requests.append((name, "counter", "counter") + signed)
        requests += [(name, label, "sqlite", theirs, undo and undo.replace("%2F", "/")) for label, theirs in yardsticks]

    def once(kind, query, undo, huge_pages=True):
        cpu, peak, _ = run([program[kind]], query, folder, huge_pages=huge_pages)
        if undo:
            run([program[kind]], undo, folder)
        return cpu, peak

    results = {}
    for name, label, kind, query, undo in requests:
        once(kind, query, undo)  # warm the page cache
        entry = results[(name, label)] = {"cpu": [], "cpu_nothp": [], "peak": []}
        entry["read"] = bytes_read(program[kind], query, folder, kind)
        if undo:
            run([program[kind]], undo, folder)
        if count_instructions:
            entry["instr"] = instructions(program[kind], query, folder)
            if undo:
                run([program[kind]], undo, folder)
    for _ in range(runs):
        for name, label, kind, query, undo in requests:
            cpu, peak = once(kind, query, undo)
            results[(name, label)]["cpu"].append(cpu * 1000)
            results[(name, label)]["peak"].append(peak / 1024)
            cpu, _ = once(kind, query, undo, huge_pages=False)
            results[(name, label)]["cpu_nothp"].append(cpu * 1000)

    size = os.path.getsize(os.path.join(folder, "counter.ostra")) / 2**20
    print("\n%d hosts (counter file %.1f MiB); %d rounds, CPU ms median; MiB of the file a cold request reads" %
          (hosts, size, runs))
    print("%-32s %-13s %10s %9s %9s %8s %8s" % ("request", "program", "Minstr", "CPU ms", "no THP", "peak MB",
                                                "MiB cold"))
    for name, label, _, _, _ in requests:
        entry = results[(name, label)]
        print("%-32s %-13s %10s %9.2f %9.2f %8.1f %8.2f" % (
            name if label == "counter" else "", label,
            "%.2f" % (entry["instr"] / 1e6) if "instr" in entry else "-", statistics.median(entry["cpu"]),
            statistics.median(entry["cpu_nothp"]), max(entry["peak"]), entry["read"] / 2**20))
    return results


def main():
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    count_instructions = "--no-instructions" not in sys.argv
    build = os.path.abspath(arguments[0])
    sizes = [int(s) for s in (arguments[1] if len(arguments) > 1 else "10000,100000,1000000").split(",")]
    runs = int(arguments[2]) if len(arguments) > 2 else 5
    wanted = re.compile(arguments[3] if len(arguments) > 3 else "")
    cases = [case for case in CASES if wanted.search(case[0])]
    by_size = {hosts: measure(build, hosts, runs, cases, count_instructions) for hosts in sizes}
    if count_instructions and len(sizes) > 1:
        smallest, largest = min(sizes), max(sizes)
        print("\ncounter's instructions at %d hosts against %d" % (largest, smallest))
        for name, *_ in cases:
            ratio = by_size[largest][(name, "counter")]["instr"] / by_size[smallest][(name, "counter")]["instr"]
            print("%-32s %8.2f" % (name, ratio))


if __name__ == "__main__":
    main()
