# `make test` runs every test from a fresh machine; `make demo` traces the
# bundled example. Both install what they need. `make bench` and
# `make bench-peers ARGS="--quick"` run the benchmarks.
.PHONY: test demo bench bench-peers clean

test:
	bash tools/test.sh

demo:
	bash tools/demo.sh

bench:
	bash tools/bench.sh

bench-peers:
	bash tools/bench-peers.sh $(ARGS)

clean:
	rm -rf build .venv
