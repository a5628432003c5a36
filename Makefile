# `make check` sets up everything it needs on a fresh machine (the host packages and the Debian sid
# root) and runs every test on both targets, then again under the sanitizers.
.PHONY: check root check-sid check-host check-pip check-asan check-tsan demo

check: check-sid check-host check-pip check-asan check-tsan

root:
	scripts/sid-root ensure

check-sid: root
	scripts/sid-root run 'scripts/check sid'

check-host: root
	scripts/check host

check-pip: root
	scripts/sid-root run 'scripts/check pip'

check-asan: root
	scripts/sid-root run 'scripts/check asan'

check-tsan: root
	scripts/sid-root run 'scripts/check tsan'

# The main job: one rupture scenario, its summary printed and its figure in build/rupture.png.
demo: root
	scripts/sid-root run 'scripts/check demo'
