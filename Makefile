# The two commands of the README:
#   make demo   builds the agent and starts a JVM with it
#   make test   builds everything and runs every test
#   make bench  prints the benchmark figures (not part of the tests)
JAVA_HOME ?= /usr/lib/jvm/java-17-openjdk-amd64
JAVA := $(JAVA_HOME)/bin/java
LIBRARY := build/release/src/libtarsil64.so
AGENT_JAR := build/release/java/tarsil.jar
DIST := dist

.PHONY: demo test bench dist deps release asan clean

deps:
	@sh tools/install-deps.sh

release: deps
	cmake --preset release
	cmake --build --preset release

asan: deps
	cmake --preset asan
	cmake --build --preset asan

# The distribution layout: the library in lib/, the agent jar one level up.
dist: release
	rm -rf $(DIST) && mkdir -p $(DIST)/lib
	cp $(LIBRARY) $(DIST)/lib/
	cp $(AGENT_JAR) build/release/java/ts-debugger-proxy.jar $(DIST)/

demo: dist
	sh java/demo/run-demo.sh $(CURDIR)/$(DIST) $(JAVA_HOME)

bench: release
	cmake --build --preset release --target bench
	sh tools/bench-classload.sh $(CURDIR)/$(LIBRARY) $(CURDIR)/$(AGENT_JAR) \
	  $(CURDIR)/build/release/java/tarsil-tests.jar $(CURDIR)/build/release/java/noop-javaagent.jar $(JAVA_HOME)
	sh tools/bench-startup.sh $(CURDIR)/$(LIBRARY) $(CURDIR)/$(AGENT_JAR) \
	  $(CURDIR)/build/release/java/noop-javaagent.jar $(JAVA_HOME)

test: release asan
	ctest --preset release
	ctest --preset asan

clean:
	rm -rf build $(DIST)
