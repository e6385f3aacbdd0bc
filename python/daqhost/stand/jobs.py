"""python3 -m daqhost.stand.jobs STATE_ROOT NAME JOB: a scheduled fault, waiting until it is
due; then applied, or its failure noted in its module's record, and its own record (job-PID.json)
removed."""

import json
import os
import sys
import time

from . import network
from .stand import Stand, StandError

if __name__ == "__main__":
    job = json.loads(sys.argv[3])
    stand = Stand.load(sys.argv[2], sys.argv[1])
    network.entering(stand.host_namespace)  # pyroute2's import done before the fault is due
    time.sleep(max(0.0, job["due"] - time.time()))
    try:
        getattr(stand, job["method"])(*job["args"])
    except StandError as e:
        stand.note(job["module"], f"failed: {job['text']}: {e}")
        sys.exit(f"teststand: module {job['module']}: {job['text']}: {e}")
    finally:
        if os.path.exists(stand.path(f"job-{os.getpid()}.json")):
            os.unlink(stand.path(f"job-{os.getpid()}.json"))
