"""Running a strategy live over OPC UA.

Two ends, each a command:

* ``qxdcs serve-plant FILE`` (`server.py`): the strategy's plant, with the
  file's disturbances, served as an OPC UA server: one variable per MV and
  per CV, the plant advancing one sample per sample period of wall time
  divided by ``--speed`` (or, with ``--lockstep``, one sample per heartbeat
  the controller writes);
* ``qxdcs control FILE --endpoint URL`` (`controller.py`): the strategy's
  blocks run against an OPC UA server, one batched read and one batched
  write per period, with fail-safe states on bad inputs and a reconnecting
  client.

`config.py` resolves the file's ``[live]`` table (or a side file) against
the plan: which signals are read, which are written, which loops depend on
which inputs. `process.py` splits a plan into its controller and its
process. Both ends need the ``opcua`` extra (asyncua).
"""
