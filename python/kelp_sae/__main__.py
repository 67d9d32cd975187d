"""python -m kelp_sae: a welcome text, or the version with --version."""
import sys


def main(argv):
    if argv and argv[0] == "--version":
        from importlib import metadata

        try:
            print(f"kelp-sae version {metadata.version('kelp-sae')}")
            return
        except metadata.PackageNotFoundError:
            pass
        try:
            import kelp_sae

            print(f"kelp-sae version {getattr(kelp_sae, '__version__', 'unknown')}")
        except Exception:
            print("kelp-sae version unknown")
        return
    print("Welcome to kelp-sae!")
    print("This is the Small Area Estimation package.")
    print("Use `python -m kelp_sae --version` for version info.")


if __name__ == "__main__":
    main(sys.argv[1:])
