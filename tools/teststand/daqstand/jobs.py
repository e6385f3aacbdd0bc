"""A scheduled fault, a process of its own: it waits until the fault is due, applies it and
removes its record (job-PID.json, which status lists and down reads to stop it); a fault that
fails is noted in its module's record.  python3 -m daqstand.jobs STATE_ROOT NAME JOB_JSON"""

import json
import os
import sys
import time

from .stand import Stand, StandError

if __name__ == "__main__":
    job = json.loads(sys.argv[3])
    stand = Stand.load(sys.argv[2], sys.argv[1])
    time.sleep(max(0.0, job["due"] - time.time()))
    try:
        getattr(stand, job["method"])(*job["args"])
    except StandError as e:
        stand.note(job["module"], f"failed: {job['text']}: {e}")
        sys.exit(f"teststand: module {job['module']}: {job['text']}: {e}")
    finally:
        if os.path.exists(stand.path(f"job-{os.getpid()}.json")):
            os.unlink(stand.path(f"job-{os.getpid()}.json"))
