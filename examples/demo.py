"""A small program worth looking at in a trace.

    morvex run -o demo.pftrace examples/demo.py     # open in https://ui.perfetto.dev
    morvex run -o demo.json -f json examples/demo.py  # or in chrome://tracing

Three named worker threads each parse a batch of records: parsing walks a
recursive expression tree, pulls tokens from a generator, and some records
are malformed, so exceptions unwind through several frames before a handler
catches them. The main thread drives a generator with send() and throws an
exception into it. The whole run takes a few milliseconds.
"""

import sys
import threading


class Malformed(ValueError):
    pass


def tokens(text):
    """A generator: every token is a yield in the trace, every next() a resume."""
    for word in text.split():
        yield word


def parse_number(token):
    if not token.lstrip("-").isdigit():
        raise Malformed(f"not a number: {token!r}")
    return int(token)


def parse_expression(stream):
    """Prefix notation, parsed recursively: "+ 1 * 2 3" is 1 + 2 * 3."""
    token = next(stream)
    if token in ("+", "*"):
        left = parse_expression(stream)
        right = parse_expression(stream)
        return left + right if token == "+" else left * right
    return parse_number(token)


def evaluate(record):
    try:
        return parse_expression(tokens(record))
    except Malformed:
        return None  # the exception unwound through every parse_expression frame


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def worker(records, results, index):
    total = 0
    for record in records:
        value = evaluate(record)
        if value is not None:
            total += value
    results[index] = total + fib(12)


def running_average():
    """A coroutine-style generator: send() resumes it, throw() raises inside it."""
    total = count = 0
    average = None
    while True:
        try:
            value = yield average
        except ZeroDivisionError:
            total = count = 0  # reset on request
            average = None
            continue
        total += value
        count += 1
        average = total / count


def main():
    records = [
        "+ 1 * 2 3",
        "* + 1 2 + 3 4",
        "+ 1 oops",
        "* 2 * 3 * 4 5",
        "+ * 2 x 1",
        "7",
    ]
    results = [None] * 3
    threads = [
        threading.Thread(target=worker, args=(records * (i + 1), results, i), name=f"parser-{i}")
        for i in range(3)
    ]
    for t in threads:
        t.start()

    averages = running_average()
    next(averages)
    for value in (3, 5, 10):
        averages.send(value)
    averages.throw(ZeroDivisionError)
    last = averages.send(42)
    averages.close()

    for t in threads:
        t.join()
    print(f"demo: results {results}, last average {last}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
