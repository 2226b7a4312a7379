"""Worker processes that never run the caller's main script again.

multiprocessing prepares each process it starts (spawn, forkserver) by running the parent's main
module again under the name ``__mp_main__``, so that functions defined there can be found: a
script without ``if __name__ == "__main__":`` then repeats its own work (a recording, a batch) in
every worker, and fails there. Our workers run only quarrin's functions, so they start without
it: forked from a fork server of our own that loads no main module, and told nothing of the
caller's. This module is only imported where the platform has a fork server.
"""
import io
import os
from multiprocessing import context, forkserver, popen_forkserver, reduction, spawn, util

# How a child prepared by multiprocessing finds the parent's main module; ours are not told.
_MAIN_KEYS = ("init_main_from_path", "init_main_from_name")

_server = forkserver.ForkServer()
_server.set_forkserver_preload([])  # multiprocessing's own preloads the caller's __main__


class _Popen(popen_forkserver.Popen):
    def _launch(self, process_obj):
        # As popen_forkserver.Popen._launch (unchanged from Python 3.10 to 3.13), with our fork
        # server, and preparation data that leave the caller's main module out.
        prep_data = spawn.get_preparation_data(process_obj._name)
        for key in _MAIN_KEYS:
            prep_data.pop(key, None)
        buf = io.BytesIO()
        context.set_spawning_popen(self)
        try:
            reduction.dump(prep_data, buf)
            reduction.dump(process_obj, buf)
        finally:
            context.set_spawning_popen(None)
        self.sentinel, w = _server.connect_to_new_process(self._fds)
        # A duplicate of the data pipe's write end tells the child that its parent is alive.
        _parent_w = os.dup(w)
        self.finalizer = util.Finalize(self, util.close_fds, (_parent_w, self.sentinel))
        with open(w, "wb", closefd=True) as f:
            f.write(buf.getbuffer())
        self.pid = forkserver.read_signed(self.sentinel)


class Process(context.ForkServerProcess):
    @staticmethod
    def _Popen(process_obj):
        return _Popen(process_obj)


class Context(context.ForkServerContext):
    """A forkserver context (processes, managers, shared arrays) whose processes start as above."""
    Process = Process


CONTEXT = Context()
