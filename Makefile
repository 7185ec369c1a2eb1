# The two commands of the README:
#   make demo   builds the agent and starts a JVM with it
#   make test   builds everything and runs every test
JAVA_HOME ?= /usr/lib/jvm/java-17-openjdk-amd64
JAVA := $(JAVA_HOME)/bin/java
LIBRARY := build/release/src/libtarsil64.so
DEMO_DIR := build/demo

.PHONY: demo test deps release asan clean

deps:
	@sh tools/install-deps.sh

release: deps
	cmake --preset release
	cmake --build --preset release

asan: deps
	cmake --preset asan
	cmake --build --preset asan

demo: release
	rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR)
	$(JAVA) -agentpath:$(CURDIR)/$(LIBRARY)=debug -Dvesta.bootcache.dir=$(CURDIR)/$(DEMO_DIR) -version
	@echo "--- $(DEMO_DIR)/tarsil.boot.log ---"
	@cat $(DEMO_DIR)/tarsil.boot.log

test: release asan
	ctest --preset release
	ctest --preset asan

clean:
	rm -rf build
