# Installation and the documentation's pictures.
#   make install                  builds the release and installs it under PREFIX
#   make install PREFIX=~/.local  for one user, without root
#   make install DESTDIR=/tmp/pkg staged, for packaging
#   make uninstall                removes what the last install put there
#   make screenshots              the three dialogs of the running program into docs/
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: install uninstall screenshots

install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_DIR) --prefix "$(PREFIX)"
	@# A cache of the icon theme hides icons added after it was made: renew one that is there.
	@cache="$(PREFIX)/share/icons/hicolor/icon-theme.cache"; \
	if [ -z "$(DESTDIR)" ] && [ -f "$$cache" ] && command -v gtk-update-icon-cache >/dev/null; then \
	  gtk-update-icon-cache -q -f -t "$(PREFIX)/share/icons/hicolor" || true; fi

# CMake keeps the list of installed files beside the build; folders are left in place, since
# others' files may share them (share/icons, share/man).
uninstall:
	@if [ ! -f $(RELEASE_DIR)/install_manifest.txt ]; then \
	  echo "uninstall: nothing installed from $(RELEASE_DIR)"; exit 1; fi
	@while IFS= read -r f || [ -n "$$f" ]; do \
	  if [ -e "$$f" ] || [ -L "$$f" ]; then rm -f -- "$$f" && echo "removed $$f"; fi; \
	done < $(RELEASE_DIR)/install_manifest.txt

screenshots: build
	@scripts/screenshots $(RELEASE_DIR)
