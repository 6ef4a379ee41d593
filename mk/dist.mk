# make dist: the release archives and SHA256SUMS in dist/, built reproducibly in build-dist-linux/
# and build-dist-windows/ (scripts/dist.py). DIST_ARGS passes options on, such as
# DIST_ARGS="--build-root DIR --out DIR".
# make dist-check: unpacks the archives and runs what is in them, checks the notices against the
# link and the sums, then builds everything again from scratch and compares the bytes.
DIST_ARGS ?=

.PHONY: dist dist-check
dist: deps
	/usr/bin/python3 scripts/dist.py --jobs $(JOBS) $(DIST_ARGS)

dist-check: dist
	/usr/bin/python3 scripts/dist_check.py --wine-prefix $(WINE_PREFIX)
