"""Convert a CSV file to VARN v2 and show what came out."""
import os
import shutil
import subprocess
import sys
import tempfile

import varn_fileformat

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> int:
    csv_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "data", "sample.csv")
    if len(sys.argv) > 2:
        varn_path = sys.argv[2]
    else:
        out_dir = tempfile.mkdtemp(prefix="varn-demo-")
        varn_path = os.path.join(out_dir, os.path.splitext(os.path.basename(csv_path))[0] + ".varn")
    csv_size, varn_size, saved = varn_fileformat.compress_csv(csv_path, varn_path)
    print()
    print(f"input : {csv_path} ({csv_size} bytes)")
    print(f"output: {varn_path} ({varn_size} bytes, {saved:.1f}% saved)")
    print(f"get_varn_info: {varn_fileformat.get_varn_info(varn_path)}")
    varn_tool = shutil.which("varn", path=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    if varn_tool:
        print()
        subprocess.run([varn_tool, "info", varn_path], check=False)
        subprocess.run([varn_tool, "verify", varn_path], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
