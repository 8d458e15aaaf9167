"""Soft sensor: bias correction from laboratory results, and the recorder of
laboratory results in a CSV file.

A soft sensor (an inferential model outside this library) predicts a quality
variable every sample; a laboratory result arrives later and belongs to the
moment its sample was drawn. All times are seconds since the epoch, the scale
of time.time().
"""
import os
import time as time
from collections import deque as deque
from pathlib import Path as Path
from typing import Any, Optional, Union

import numpy as np

from qxdcs.algorithm.qxFilter import sFilter as sFilter

_Real = Union[float, int]

class SoftSensorBiasUpdate:
    """Soft-sensor bias correction: the deviation between the prediction (prd_data) and
    the laboratory value (lab_data).

    The block keeps a time-stamped history of the predictions. When a new
    laboratory result arrives it takes the prediction that was valid when the
    sample was drawn (the last stored prediction at or before lab_time) and
    sets the bias to lab_data minus that prediction. Every run returns the
    bias smoothed by a first-order lag; the application adds it to the raw
    prediction. There is no reset. copy.deepcopy and pickle keep the whole
    state.
    """

    def __init__(
        self,
        name: str = "softSensor",
        filter_tao: _Real = 5,
        abs_threshold: _Real = 1e-6,
        prd_len: int = 28800,
        const_len: int = 60,
    ) -> None:
        """Create the block with empty histories and a bias of 0.0.

        Args:
            name: Block name, the prefix of every message; exactly a str
                (default "softSensor").
            filter_tao: Time constant of the bias filter 1/(filter_tao*s + 1),
                in calls (the filter runs at a sample period of 1, starting
                at 0); 0 or less, or NaN, means no filter (default 5).
            abs_threshold: Smallest laboratory change that counts as a new
                result (default 1e-6).
            prd_len: Length of the prediction history: it holds prd_len + 1
                predictions, one per call; exactly an int (default 28800,
                8 h at one call per second).
            const_len: Number of further calls a new laboratory value must
                stay unchanged before the automatic update; exactly an int
                (default 60).

        Raises:
            TypeError: name not exactly a str, prd_len or const_len not
                exactly an int ("Argument 'prd_len' has incorrect type
                (expected int, got float)"), or filter_tao or abs_threshold
                not a real number.
            ValueError: A negative prd_len or const_len ("prd_len must not be
                negative (got -1)").
        """
    def run(
        self,
        prd_data: _Real,
        lab_data: _Real,
        lab_time: _Real,
        prd_time: Optional[float] = None,
        update_trigger: Optional[float] = None,
    ) -> Any:
        """One sample: store the prediction, look for a new laboratory result, return the filtered bias.

        Pass the latest laboratory value and its sampling time on every call,
        the same ones until a new result arrives. The first call pre-fills the
        prediction history with prd_data at 60 s spacing (the newest 60 s
        before prd_time), attempts an update and prints
        "<name>: Bias Update is triggered by the first data.". Afterwards an
        update is attempted:

        * with update_trigger given: when it is > 0.5 (0.5 does not trigger);
          any other float suppresses the automatic detection;
        * otherwise automatically, once per new laboratory value: when it
          differs by at least abs_threshold from the previous one and has
          then been passed unchanged (within 1e-6) on const_len + 1
          consecutive calls.

        An attempt with the same value (within abs_threshold) and time
        (within 0.1 s) as the last update prints "<name>: Bias Update is not
        triggered, lab_data or lab_time is unchanged." and changes nothing;
        a lab_time outside the stored history is ignored without a message.

        Args:
            prd_data: The current prediction.
            lab_data: The latest laboratory value.
            lab_time: Its sampling time, seconds since the epoch.
            prd_time: Time of the prediction, a float or None for now
                (time.time()); the times passed must not decrease.
            update_trigger: None (default) for automatic detection, or a
                float: > 0.5 forces an update attempt.

        Returns:
            The bias through the filter (one filter step per call: it starts
            at 0 and follows the bias as a first-order lag), or the raw bias
            when there is no filter.

        Raises:
            TypeError: prd_data, lab_data or lab_time not a real number, or
                prd_time or update_trigger neither a float nor None (an int
                included).
            ValueError: A non-finite value, e.g. "<name> Bias Update: prd_data
                is not finite!" (likewise lab_data, lab_time, prd_time,
                update_trigger); nothing changes.
        """
    def _update_bias(self, lab_data: _Real, lab_time: _Real) -> None:
        """One bias update attempt for lab_data sampled at lab_time, without the trigger rules (see run)."""
    def get_name(self) -> str:
        """The block name."""
    def get_lab_data(self) -> float:
        """The laboratory value of the last successful update (NaN before the first)."""
    def get_lab_time(self) -> float:
        """The laboratory time of the last successful update, seconds since the epoch (NaN before the first)."""
    def get_prd_data_at_labtime(self) -> float:
        """The prediction the last successful update used (NaN before the first)."""
    def get_update_flag(self) -> bool:
        """True only when the latest run call updated the bias."""
    def get_bias(self) -> float:
        """The raw (unfiltered) bias of the last successful update (0.0 before the first)."""
    @property
    def _name(self) -> str:
        """Block name."""
    @property
    def _prd_data_list(self) -> deque[float]:
        """The predictions, oldest first: a new deque (maxlen prd_len + 1) on every read."""
    @property
    def _prd_time_list(self) -> deque[float]:
        """The time of each prediction, same positions, ascending: a new deque on every read."""
    @property
    def _lab_data_list(self) -> deque[float]:
        """The laboratory value of each call, oldest first: a new deque (maxlen const_len + 2) on every read."""
    @property
    def _bias(self) -> float:
        """Raw bias of the last successful update."""
    @_bias.setter
    def _bias(self, value: _Real) -> None: ...
    @property
    def _fil(self) -> Optional[sFilter]:
        """The bias filter (an sFilter), or None for the raw bias; run calls it once per call."""
    @_fil.setter
    def _fil(self, value: Any) -> None: ...
    @property
    def _abs_threshold(self) -> float:
        """Smallest laboratory change that counts as a new result."""
    @_abs_threshold.setter
    def _abs_threshold(self, value: _Real) -> None: ...
    @property
    def _update_flag(self) -> bool:
        """True only when the latest run call updated the bias."""
    @property
    def _current_lab_data(self) -> float:
        """Laboratory value of the last successful update (NaN before the first)."""
    @property
    def _current_lab_time(self) -> float:
        """Laboratory time of the last successful update (NaN before the first)."""
    @property
    def _prd_data_at_labtime(self) -> float:
        """Prediction used by the last successful update (NaN before the first)."""
    def __getstate__(self) -> dict[str, Any]:
        """The whole state (name, histories, bias, filter, threshold and last update) by attribute name."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__, checked for consistent histories.

        Raises:
            KeyError: An attribute is missing.
            TypeError, ValueError: A history that is not a deque with a maxlen
                of finite numbers, empty or full, or histories that do not
                belong together.
        """

class LabDataRecorder:
    """Appends each new laboratory result to <csv_dir>/<name>_Raw_LabData.csv.

    A result is new by the rule of the automatic trigger of
    SoftSensorBiasUpdate: a change of at least abs_threshold that has then
    stayed unchanged for const_len further calls; each is written once. The
    first value seen after construction is never written (the window starts
    filled with it).

    The file (UTF-8 without byte-order mark, a line feed after every line)
    starts with the header "ExportTime,LabTime,LabData", written by the
    export that creates it; each data line holds the local export time, the
    local laboratory time (both "%Y-%m-%d %H:%M:%S", the fraction of a second
    dropped) and the value as the shortest text that reads back to it (2.0,
    0.1, 1e-07). Lines are only ever appended, each whole or not at all, so
    the lines of earlier runs and of recorders with the same name and folder
    accumulate. copy.deepcopy and pickle keep the state; a copy writes to
    the same file.
    """

    def __init__(
        self,
        name: str = "softSensor",
        abs_threshold: _Real = 1e-6,
        const_len: int = 60,
        csv_dir: Union[str, os.PathLike[str]] = "./",
    ) -> None:
        """Create the recorder and its folder.

        Args:
            name: Recorder name, prefix of messages and of the file name;
                exactly a str without a path separator or NUL character, and
                not "." or ".." (default "softSensor").
            abs_threshold: Smallest change that counts as a new result; 0 or
                less writes every call whose newest const_len + 1 values are
                equal (default 1e-6).
            const_len: Number of further calls a new value must stay
                unchanged before it is written; exactly an int (default 60;
                0 writes a new value on the call where it first appears).
            csv_dir: Folder of the CSV file (default "./"). Resolved to an
                absolute path now, against the current working directory,
                and created with its missing parents.

        Raises:
            TypeError: name not exactly a str, const_len not exactly an int,
                or abs_threshold not a real number.
            ValueError: A name that would lead out of csv_dir ("LabDataRecorder
                name must not contain a path separator or a NUL character,
                nor be '.' or '..': '../x'"), or a negative const_len.
            OSError: The folder cannot be created.
        """
    def run(self, lab_data: _Real, lab_time: _Real) -> bool:
        """Pass the latest laboratory value; returns True when this call wrote it to the CSV file.

        Call it every sample with the same value and time until a new result
        arrives. An export that fails leaves the recorder as it was before
        the call, so the next call with the same value exports it; the error
        reaches the caller.

        Args:
            lab_data: The latest laboratory value.
            lab_time: Its sampling time, seconds since the epoch.

        Raises:
            TypeError: An argument is not a real number.
            ValueError: "<name> LabDataRecorder: lab_data is not finite!" (or
                lab_time); nothing changes.
            OSError: The file cannot be written, or a symbolic link stands in
                its place (see export_lab_data_csv).
        """
    def export_lab_data_csv(self, lab_data: _Real, lab_time: _Real) -> None:
        """Append one data line (export time, lab_time, lab_data) to the CSV file, unconditionally.

        The header line comes first when this call creates the file. Its
        inputs are not checked (a non-finite lab_data is written nan, inf or
        -inf). The file is never written through a symbolic link in its
        place (a link in the folder's own path is followed).

        Args:
            lab_data: The laboratory value.
            lab_time: Its sampling time, seconds since the epoch.

        Raises:
            OSError: "refusing to write the laboratory CSV file through a
                symbolic link" (naming the path), or the file cannot be
                opened or written.
            ValueError, OverflowError: A lab_time that cannot be converted to
                local time (NaN, out of range).
        """
    @property
    def _name(self) -> str:
        """Recorder name."""
    @property
    def _lab_data_list(self) -> deque[float]:
        """The laboratory value of each call, oldest first: a new deque (maxlen const_len + 2) on every read."""
    @property
    def _abs_threshold(self) -> float:
        """Smallest change that counts as a new result."""
    @_abs_threshold.setter
    def _abs_threshold(self, value: _Real) -> None: ...
    @property
    def _csv_file(self) -> Path:
        """Absolute path of the CSV file."""
    def __getstate__(self) -> dict[str, Any]:
        """The whole state (name, window, threshold, file path) by attribute name."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__.

        Raises:
            KeyError: An attribute is missing.
            ValueError: A name that would lead out of its folder, or a
                _csv_file that is not an absolute path to <name>_Raw_LabData.csv.
        """
