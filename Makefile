# `make test` runs every test from a fresh machine; `make demo` traces the
# bundled example. Both install what they need.
.PHONY: test demo bench clean

test:
	bash tools/test.sh

demo:
	bash tools/demo.sh

bench:
	bash tools/bench.sh

clean:
	rm -rf build .venv
