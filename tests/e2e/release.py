"""A small product release, versions 1 and 2: a release package, a library, an application, add-ons, the updater."""

from testdata import Pkg, build_all, install

RELEASE_PACKAGE = "product-release"
ADDONS = ["addon-tools", "addon-docs"]
DEFAULTS = """<?xml version="1.0"?>
<updater>
  <product><name>Demo Appliance</name><packages><release><package><name>%s</name></package></release>
    <addons>%s</addons></packages></product>
  <user-agent><base>demo-updater</base><prodname>demo</prodname></user-agent>
  <log level="info"><logger type="stderr"/></log>
</updater>
""" % (RELEASE_PACKAGE, "".join("<package><name>%s</name></package>" % a for a in ADDONS))
CONFIG = """<?xml version="1.0"?>
<updater><repository id="base"><name>Demo release</name><location href="%(location)s"/></repository></updater>
"""


def _file(name, version):
    return {"/usr/share/%s/VERSION" % name: "%s %s\n" % (name, version)}


def packages(version):
    v = str(version)
    return [
        # The same in every release; carries the shell that scriptlets need.
        Pkg("system-base", version="1", provides=["/bin/sh"]),
        Pkg(RELEASE_PACKAGE, version=v, files={"/etc/demo-release": "Demo Appliance release %s\n" % v}),
        Pkg("libcore", version=v, provides=["libcore.so.%s" % v], files=_file("libcore", v)),
        Pkg("app", version=v, requires=["libcore.so.%s" % v], files=_file("app", v)),
        Pkg("addon-tools", version=v, requires=["app"], files=_file("addon-tools", v)),
        Pkg("addon-docs", version=v, files=_file("addon-docs", v)),
        Pkg("updater", version="1.8.3", release=v, provides=["updater-running = 1.8.3"], files=_file("updater", v)),
    ]


def variant(version, drop=(), replace=(), extra=()):
    replaced = {p.name: p for p in replace}
    pkgs = [replaced.pop(p.name, p) for p in packages(version) if p.name not in drop]
    return pkgs + list(replaced.values()) + list(extra)


def build_release(version):
    return build_all(packages(version))


def install_release(root, version=1):
    install(root, build_release(version), nodeps=False)
    root.write("/usr/share/resources/default/updater/defaults.conf", DEFAULTS)
