# The Debian package (scripts/package.sh): cpack -G DEB in a Release build tree. Its Depends are
# what dpkg-shlibdeps reads off the binaries, and what they need at run time that no binary
# names: ssh itself, the session bus, the platform plugins (X11 and Wayland) and Qt's SVG
# plugins, which draw the icons and images.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zandrel)
set(CPACK_PACKAGE_VENDOR "The Zandrel developers")
set(CPACK_PACKAGE_CONTACT "The Zandrel developers <maintainers@zandrel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SSH tunnel manager for the desktop")
# Installed as to /usr under a staging folder (DESTDIR), so that the unit names /usr/bin/zandrel.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zandrel.org/")
# The summary above is the first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Zandrel keeps a list of named SSH tunnels and opens or closes each on demand.
It runs the system's OpenSSH client, shows what each tunnel is doing,
reconnects after a dropped link, a network change or a resume, and asks for
passwords and host keys in its own windows. It can be driven from a terminal
or over D-Bus, and run without a display as a systemd user service.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openssh-client, dbus, qt6-qpa-plugins, qt6-wayland, libqt6svg6")
# Passwords are remembered through the Secret Service, which a keyring daemon provides; Qt's own
# texts (standard buttons) come translated from Qt's translations.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager | keepassxc, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
