"""make demo: the loopback test node (tests/rpc_node.py) serves a few hundred
slots of mainnet transactions; `python -m brisquel fetch` fetches them into
Parquet, then the transactions and balances tables are shown.

    python3 examples/fetch_demo.py OUT_DIR

Against a real node, the same command is:

    python -m brisquel fetch --rpc https://NODE/?api-key=KEY --out OUT IDL ... --slots A:B
"""

import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import pyarrow.parquet as pq  # noqa: E402
from rpc_node import FIRST_SLOT, Chain, Node  # noqa: E402

out = Path(sys.argv[1])
shutil.rmtree(out, ignore_errors=True)
idls = sorted(str(p) for p in (HERE.parent.parent / "shared" / "idls").glob("pump*-current.json"))
with Node(Chain(FIRST_SLOT, FIRST_SLOT + 299)) as node:
    command = [sys.executable, "-m", "brisquel", "fetch", "--rpc", node.url, "--out", str(out), *idls,
               "--slots", f"{FIRST_SLOT}:{FIRST_SLOT + 299}"]
    print("$", " ".join(command[1:]), flush=True)
    subprocess.run(command, check=True)
for name, columns in (("transactions", ["slot", "position", "signature", "fee", "priority_fee", "version", "error"]),
                      ("balances", ["slot", "account", "mint", "pre", "post"])):
    table = pq.read_table(out / name, columns=columns)
    print(f"\n{name}: {table.num_rows:,} rows")
    print(table.slice(0, 8).to_pandas().to_string(max_colwidth=24))
