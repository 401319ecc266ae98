"""Times Python's xmlrpc.client loads and dumps on the protocol benchmark's messages (the files
that `voxtrel_bench --dump-documents DIR` writes) and writes the medians, in nanoseconds of CPU time
per message, as JSON for bench/report.py.

Usage: compare_python.py DOCUMENTS_DIR OUTPUT_JSON
"""
import json
import os
import platform
import statistics
import sys
import time
import timeit
import xmlrpc.client


def per_call_ns(statement, repeats=5, budget=0.15):
    # CPU time, as the benchmark program's figures: waiting for a core does not count.
    timer = timeit.Timer(statement, timer=time.process_time)
    number, taken = timer.autorange()
    number = max(1, int(number * budget / max(taken, 1e-9)))
    runs = timer.repeat(repeat=repeats, number=number)
    return statistics.median(runs) / number * 1e9


def measure(text):
    params, method = xmlrpc.client.loads(text)
    if method is None:
        dump = lambda: xmlrpc.client.dumps(params, methodresponse=True)
    else:
        dump = lambda: xmlrpc.client.dumps(params, methodname=method)
    return {"loads_ns": per_call_ns(lambda: xmlrpc.client.loads(text)),
            "dumps_ns": per_call_ns(dump)}


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    documents, output = sys.argv[1], sys.argv[2]
    figures = {}
    for entry in sorted(os.listdir(documents)):
        name, extension = os.path.splitext(entry)
        if extension != ".xml":
            continue
        with open(os.path.join(documents, entry), "rb") as f:
            figures[name] = measure(f.read().decode("latin-1"))
    if not figures:
        sys.exit(f"no messages in {documents}")
    with open(output, "w") as f:
        json.dump({"python": platform.python_version(), "messages": figures}, f, indent=1)


if __name__ == "__main__":
    main()
