# make demo: the real bridge between a simulated N1MM+ and a simulated ExpertSDR, with a live
# view, then demo/waterfall.png and demo/summary.txt. Runs DEMO_SECONDS (default 30) seconds.
DEMO_SECONDS ?= 30

.PHONY: demo
demo: linux
	DEMO_SECONDS=$(DEMO_SECONDS) /usr/bin/python3 scripts/demo.py --exe build/tarnwick
