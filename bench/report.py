"""Prints the table of one `make bench` run: each of our figures beside its reference measured in
the same run, the ratio, the goal and whether it is met; writes the same table as Markdown.

Usage: report.py --results RESULTS_JSON --python PYTHON_JSON --runtime OUTPUT [OUTPUT ...]
                 [--build-dir DIR] [--markdown FILE]

RESULTS_JSON is Google Benchmark's JSON output (the median of the repetitions is taken), the
Python figures come from compare_python.py, and each OUTPUT is the captured output of a runtime
benchmark program, whose lines `figure <key> <value>` it reads. The exit status is 0 when a goal
is missed: this is a report, and a miss is marked in the table.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys

NANOSECONDS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


class Benchmarks:
    """Medians per benchmark from Google Benchmark's JSON: the median aggregate when the run has
    one, else the median of the repetitions. Times are CPU times: on a shared machine they leave
    out the time the benchmark waited for a core, which wall-clock times would count."""

    def __init__(self, path):
        with open(path) as f:
            document = json.load(f)
        self.context = document.get("context", {})
        self.medians, self.errors, self.labels = {}, {}, {}
        repetitions = {}
        for entry in document.get("benchmarks", []):
            name = entry.get("run_name", entry["name"])
            if entry.get("error_occurred"):
                self.errors[name] = entry.get("error_message", "error")
                continue
            if entry.get("label"):
                self.labels[name] = entry["label"]
            if entry.get("run_type") == "aggregate":
                if entry.get("aggregate_name") == "median":
                    self.medians[name] = entry
            else:
                repetitions.setdefault(name, []).append(entry)
        for name, runs in repetitions.items():
            if name in self.medians:
                continue
            middle = sorted(runs, key=lambda run: run["cpu_time"])[len(runs) // 2]
            self.medians[name] = middle

    def ns(self, name):
        entry = self.medians.get(name)
        if entry is None:
            return None
        return entry["cpu_time"] * NANOSECONDS[entry.get("time_unit", "ns")]

    def counter(self, name, key):
        entry = self.medians.get(name)
        return None if entry is None else entry.get(key)

    def names(self, prefix):
        """The benchmarks whose names start with prefix, in the order the program registers
        them."""
        chosen = [name for name in self.medians if name.startswith(prefix)]
        return sorted(chosen, key=lambda name: self.medians[name].get("family_index", 0))


def runtime_figures(paths):
    figures = {}
    for path in paths:
        try:
            with open(path, errors="replace") as f:
                for line in f:
                    parts = line.split()
                    if len(parts) == 3 and parts[0] == "figure":
                        try:
                            figures[parts[1]] = float(parts[2])
                        except ValueError:
                            pass
        except OSError as error:
            print(f"report: cannot read {path}: {error}", file=sys.stderr)
    return figures


def python_figures(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError) as error:
        print(f"report: no Python figures ({error})", file=sys.stderr)
        return {"messages": {}}


def show(value, unit):
    if value is None:
        return "—"
    if unit == "/s":
        return f"{value:,.0f}/s"
    if unit == "ns" and value >= 100:
        return f"{value:,.0f} ns"
    digits = 2 if value < 10 else 1
    return f"{value:,.{digits}f} {unit}"


class Table:
    def __init__(self):
        self.rows = []
        self.goals = 0
        self.missed = []
        self.unmeasured = []

    def add(self, figure, ours, reference_name, reference, unit, goal=None, note=""):
        """goal is (comparison, bound) on the ratio ours / reference, or None for information."""
        ratio = ours / reference if ours is not None and reference else None
        if goal is None:
            goal_text, met = "—", "info"
        else:
            comparison, bound = goal
            goal_text = f"{comparison} {bound}"
            self.goals += 1
            if ratio is None:
                met = "not measured"
                self.unmeasured.append(figure)
            elif (ratio <= bound) if comparison == "≤" else (ratio >= bound):
                met = "yes"
            else:
                met = "**MISSED**"
                self.missed.append(figure)
        if reference_name:
            reference_text = f"{reference_name}{note}: {show(reference, unit)}"
        else:
            reference_text = "none"
        ratio_text = "—" if ratio is None else f"{ratio:.2f}"
        self.rows.append((figure, show(ours, unit), reference_text, ratio_text, goal_text,
                          met))

    def markdown(self):
        header = ("figure", "Voxtrel", "reference", "ratio", "goal", "met?")
        widths = [max(len(row[i]) for row in self.rows + [header]) for i in range(len(header))]
        line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
        rule = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
        return "\n".join([line(header), rule] + [line(row) for row in self.rows])


def machine(build_dir, context, python_version):
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    compiler = "unknown compiler"
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    path = line.split("=", 1)[1].strip()
                    version = subprocess.run([path, "--version"], capture_output=True, text=True)
                    compiler = version.stdout.splitlines()[0]
                    break
    except (OSError, IndexError):
        pass
    load = context.get("load_avg")
    load_text = f", load average {load[0]:.2f} at the start" if load else ""
    return (f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, {compiler}, "
            f"Python {python_version}{load_text}")


def build_table(benchmarks, python, runtime):
    table = Table()
    py = python.get("messages", {})
    # The measured messages, named as the protocol benchmark names them.
    messages = [name[len("BM_Parse/"):] for name in benchmarks.names("BM_Parse/")]

    for name in messages:
        ours = benchmarks.ns(f"BM_Parse/{name}")
        figure = f"parse {name}"
        table.add(figure, ours, "pugixml DOM only", benchmarks.ns(f"BM_PugixmlParse/{name}"),
                  "ns", ("≤", 2.0))
        table.add(figure, ours, "pugixml DOM + extraction",
                  benchmarks.ns(f"BM_PugixmlExtract/{name}"), "ns")
        label = benchmarks.labels.get(f"BM_XmlrpcCParse/{name}")
        table.add(figure, ours, "xmlrpc-c parse", benchmarks.ns(f"BM_XmlrpcCParse/{name}"), "ns",
                  note=" (a)" if label else "")
        table.add(figure, ours, "Python loads (b)", py.get(name, {}).get("loads_ns"), "ns")

    for name in messages:
        ours = benchmarks.ns(f"BM_Write/{name}")
        figure = f"write {name}"
        table.add(figure, ours, "plain std::string writer",
                  benchmarks.ns(f"BM_StringWrite/{name}"), "ns", ("≤", 1.0))
        label = benchmarks.labels.get(f"BM_XmlrpcCWrite/{name}")
        table.add(figure, ours, "xmlrpc-c serialize", benchmarks.ns(f"BM_XmlrpcCWrite/{name}"),
                  "ns", note=" (a)" if label else "")
        table.add(figure, ours, "Python dumps (b)", py.get(name, {}).get("dumps_ns"), "ns")

    get = runtime.get
    table.add("request round trip p50", get("roundtrip.session_p50_us"), "plain TCP ping-pong",
              get("roundtrip.plain_p50_us"), "us", ("≤", 1.5))
    table.add("request round trip p99", get("roundtrip.session_p99_us"), "plain TCP ping-pong",
              get("roundtrip.plain_p99_us"), "us")
    table.add("request round trip p50, all on one processor",
              get("roundtrip.shared_session_p50_us"), "plain TCP ping-pong",
              get("roundtrip.shared_plain_p50_us"), "us")
    table.add("notification throughput", get("throughput.session_per_s"),
              "raw acknowledged stream", get("throughput.plain_per_s"), "/s", ("≥", 0.9))
    table.add("request round trip p50, trace sink set", get("roundtrip.session_traced_p50_us"),
              "the session without a sink", get("roundtrip.session_p50_us"), "us")
    table.add("notification throughput, trace sink set", get("throughput.session_traced_per_s"),
              "the session without a sink", get("throughput.session_per_s"), "/s")
    table.add("event delivery rate", get("delivery.control_per_s"), "plain two-thread hand-off",
              get("delivery.plain_per_s"), "/s", ("≥", 0.9))
    table.add("event delivery p50", get("delivery.control_p50_us"), "plain two-thread hand-off",
              get("delivery.plain_p50_us"), "us")
    table.add("Connect p50", get("connect.p50_ms"), None, None, "ms")
    table.add("Connect p99", get("connect.p99_ms"), None, None, "ms")
    table.add("memory per session at 1000 sessions", get("scale.kib_per_session"), None, None,
              "KiB")

    ordinary = benchmarks.counter("BM_Receive/ordinary/1460", "per_MB")
    hostile = [(benchmarks.counter(name, "per_MB"), name[len("BM_Receive/"):])
               for name in benchmarks.names("BM_Receive/") if "/ordinary/" not in name]
    hostile = [entry for entry in hostile if entry[0] is not None]
    worst, kind = max(hostile) if hostile else (None, "none measured")
    table.add(f"hostile input per MB, worst kind ({kind})",
              None if worst is None else worst * 1e3, "ordinary messages per MB",
              None if ordinary is None else ordinary * 1e3, "ms")
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--runtime", nargs="*", default=[])
    parser.add_argument("--build-dir", default="build/bench")
    parser.add_argument("--markdown")
    arguments = parser.parse_args()

    benchmarks = Benchmarks(arguments.results)
    python = python_figures(arguments.python)
    runtime = runtime_figures(arguments.runtime)
    table = build_table(benchmarks, python, runtime)

    repetitions = max((entry.get("repetitions", 1) for entry in benchmarks.medians.values()),
                      default=1)
    lines = [
        f"Machine: {machine(arguments.build_dir, benchmarks.context, python.get('python', '?'))}.",
        "",
        table.markdown(),
        "",
        "Parse, write and hostile input: CPU time per message or megabyte, medians of "
        f"{repetitions} repetitions, measured in one process (voxtrel_bench) with their "
        "references. The runtime figures are wall-clock, from voxtrel_session_bench and "
        "voxtrel_delivery_bench, each beside its reference measured in the same program run. "
        "Ratio is Voxtrel / reference.",
        "",
        "(a) xmlrpc-c accepts only the basic ISO 8601 form of a dateTime, so it reads "
        "mailarrived with its dateTime rewritten to 20060504T13:02:01; its serializer writes "
        "its own layout (an encoding in the declaration, `<i4>`, a param per line).",
        "",
        "(b) Python's xmlrpc.client cannot run inside the benchmark program: it is timed in its "
        "own process (bench/compare_python.py, medians of CPU time) on the same bytes, in the same "
        "run.",
    ]
    for name, message in sorted(benchmarks.errors.items()):
        lines += ["", f"Benchmark {name} failed: {message}."]
    missing = [key for key in ("roundtrip.session_p50_us", "throughput.session_per_s",
                               "delivery.control_per_s", "connect.p50_ms",
                               "scale.kib_per_session") if key not in runtime]
    if missing:
        lines += ["", "Not reported by the runtime programs: " + ", ".join(missing) + "."]
    met = table.goals - len(table.missed) - len(table.unmeasured)
    summary = f"Goals met: {met} of {table.goals}."
    if table.missed:
        summary += " Missed: " + "; ".join(table.missed) + "."
    if table.unmeasured:
        summary += " Not measured: " + "; ".join(table.unmeasured) + "."
    lines += ["", summary]
    text = "\n".join(lines)
    print(text)
    if arguments.markdown:
        os.makedirs(os.path.dirname(arguments.markdown) or ".", exist_ok=True)
        with open(arguments.markdown, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
