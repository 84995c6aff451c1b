"""Imports an installed vantor_lacet the way a user would, from outside the
source tree.

    check_installed_wheel.py no-host   the host is not importable: the import
                                       must fail with ModuleNotFoundError for
                                       'vantor', with a note that names the
                                       host module, and leave no half-made
                                       package
    check_installed_wheel.py host      the host is on sys.path: the package
                                       imports from the installed wheel
"""
import sys
import sysconfig
from pathlib import Path


def fail(message):
    print(f"installed wheel check: {message}", file=sys.stderr)
    sys.exit(1)


def without_host():
    try:
        import vantor  # noqa: F401
    except ModuleNotFoundError:
        pass
    else:
        fail(f"a host is importable from {vantor.__file__}; the check needs none")
    try:
        import vantor_lacet  # noqa: F401
    except ModuleNotFoundError as error:
        if error.name != "vantor":
            fail(f"expected the host module 'vantor' to be missing, got {error!r}")
        if "vantor_lacet" in sys.modules:
            fail("the failed import left vantor_lacet in sys.modules")
        notes = getattr(error, "__notes__", [])
        if not any("vantor.core.edge" in note for note in notes):
            fail(f"the error carries no note naming the host module: {notes!r}")
        print(f"installed wheel without a host: {type(error).__name__}: {error}")
        for note in notes:
            print(f"  note: {note}")
    else:
        fail("vantor_lacet imported although no host is installed")


def with_host():
    import vantor_lacet
    import vantor_lacet.former

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    where = Path(vantor_lacet.__file__).resolve()
    if site not in where.parents:
        fail(f"vantor_lacet came from {where}, not from the installed wheel in {site}")
    print(f"installed wheel with the host: {where.name} exports {vantor_lacet.__all__}")
    # The stores come in the same wheel, and only when asked for: the package's
    # import loads none of them, nor any driver.
    if any(name.startswith(("vantor_lacet_stores", "psycopg")) for name in sys.modules):
        fail("import vantor_lacet loaded the stores or a driver")
    import vantor_lacet_stores
    from vantor_lacet_stores import errors

    stores = Path(vantor_lacet_stores.__file__).resolve()
    if site not in stores.parents:
        fail(f"vantor_lacet_stores came from {stores}, not from the installed wheel in {site}")
    if not issubclass(errors.AlreadyStored, errors.StoreError):
        fail("the stores' errors are not one tree")
    print(f"installed wheel holds the stores: {len(vantor_lacet_stores.__all__)} names")


if __name__ == "__main__":
    {"no-host": without_host, "host": with_host}[sys.argv[1]]()
