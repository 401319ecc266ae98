"""Times Python's xmlrpc.client loads and dumps on the protocol benchmark's messages and prints
them beside our figures from the same `make bench` run, with the ratio.

Usage: compare_python.py RESULTS_JSON DOCUMENTS_DIR
"""
import json
import os
import statistics
import sys
import timeit
import xmlrpc.client

MESSAGES = ("createcall", "callstatechanged", "mailarrived")


def per_call_ns(statement, repeats=7, budget=0.2):
    timer = timeit.Timer(statement)
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    runs = timer.repeat(repeat=repeats, number=number)
    return statistics.median(runs) / number * 1e9


def main():
    results_path, documents = sys.argv[1], sys.argv[2]
    with open(results_path) as f:
        ours = {b["name"]: b["real_time"] for b in json.load(f)["benchmarks"]
                if b.get("time_unit") == "ns"}
    print()
    print(f"{'message':<18}{'bytes':>6}  {'parse ns':>9} {'loads ns':>9} {'ratio':>7}"
          f"  {'write ns':>9} {'dumps ns':>9} {'ratio':>7}")
    for name in MESSAGES:
        with open(os.path.join(documents, name + ".xml"), "rb") as f:
            text = f.read().decode("latin-1")
        params, method = xmlrpc.client.loads(text)
        loads = per_call_ns(lambda: xmlrpc.client.loads(text))
        dumps = per_call_ns(lambda: xmlrpc.client.dumps(params, methodname=method))
        parse = ours.get(f"BM_Parse/{name}_median", ours.get(f"BM_Parse/{name}"))
        write = ours.get(f"BM_Write/{name}_median", ours.get(f"BM_Write/{name}"))
        if parse is None or write is None:
            sys.exit(f"no benchmark figures for {name}")
        print(f"{name:<18}{len(text):>6}  {parse:>9.0f} {loads:>9.0f} {loads / parse:>6.1f}x"
              f"  {write:>9.0f} {dumps:>9.0f} {dumps / write:>6.1f}x")


if __name__ == "__main__":
    main()
