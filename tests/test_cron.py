"""Cron expressions as cron schedules use them: parsing, UTC minute matching and the next-time search."""

from __future__ import annotations

import calendar

import pytest

from expect import raises_exactly
from ombrel_store import _native

Error = _native.OmbrelStoreError
MINUTE, HORIZON = 60_000, 4_216_320 * 60_000
INT64_MAX = 2**63 - 1
LAST_MINUTE = INT64_MAX // MINUTE * MINUTE
NO_MATCH = "cron error: invalid cron field: no matching time within search horizon"
OVERFLOW = "cron error: cron timestamp overflow"


def utc(*fields):
    return calendar.timegm(fields + (0,) * (6 - len(fields))) * 1000


def next_run(store, expression, after_ms):
    return store.get_cron_schedule(store.create_cron_schedule(expression, b"h", b"", after_ms))["next_run_ms"]


def occurrences(store, expression, after_ms, count):
    """The first `count` occurrences, each fired by a tick at exactly its time."""
    schedule_id = store.create_cron_schedule(expression, b"h", b"", after_ms)
    seen = []
    for _ in range(count):
        seen.append(store.get_cron_schedule(schedule_id)["next_run_ms"])
        assert store.tick_cron_schedules(seen[-1], 1) == (1, 1)
    return seen


MARCH_1 = utc(2024, 3, 1)  # a Friday; 13 March 2024 is a Wednesday


@pytest.mark.parametrize("expression, after, expected", [
    ("*/15 * * * *", utc(2024, 3, 15, 10, 7, 30),
     [utc(2024, 3, 15, 10, m) for m in (15, 30, 45)] + [utc(2024, 3, 15, 11)]),
    ("1-10/3 * * * *", utc(2024, 3, 15, 10),
     [utc(2024, 3, 15, 10, m) for m in (1, 4, 7, 10)] + [utc(2024, 3, 15, 11, 1)]),
    ("5/10 * * * *", utc(2024, 3, 15, 10), [utc(2024, 3, 15, h, 5) for h in (10, 11, 12)]),
    ("+5 * * * *", utc(2024, 3, 15, 10), [utc(2024, 3, 15, h, 5) for h in (10, 11)]),
    ("*/+20 * * * *", utc(2024, 3, 15, 10), [utc(2024, 3, 15, 10, m) for m in (20, 40)]),
    ("59,1,3,1 * * * *", utc(2024, 3, 15, 10), [utc(2024, 3, 15, 10, m) for m in (1, 3, 59)]),
    ("58-59/255 007 * * *", utc(2024, 3, 15, 10), [utc(2024, 3, d, 7, 58) for d in (16, 17)]),
    ("0 9-17/4 * * *", utc(2024, 3, 1, 10), [utc(2024, 3, 1, 13), utc(2024, 3, 1, 17), utc(2024, 3, 2, 9)]),
    ("0 12 1 */5 *", MARCH_1, [utc(2024, 6, 1, 12), utc(2024, 11, 1, 12), utc(2025, 1, 1, 12)]),
    ("30 23 31 * *", MARCH_1, [utc(2024, m, 31, 23, 30) for m in (3, 5, 7, 8)]),
    # Both day fields restricted: either suffices; a literal "*" defers to the other, a stepped "*/n" does not.
    ("0 0 13 * 5", MARCH_1, [utc(2024, 3, d) for d in (8, 13, 15, 22, 29)] + [utc(2024, 4, d) for d in (5, 12, 13)]),
    ("0 0 */2 * 5", MARCH_1, [utc(2024, 3, d) for d in (3, 5, 7, 8, 9, 11, 13, 15, 17)]),
    ("0 0 13 * 0-6", MARCH_1, [utc(2024, 3, d) for d in (2, 3, 4)]),
    ("0 0 * * 5", MARCH_1, [utc(2024, 3, d) for d in (8, 15, 22, 29)]),
    ("0 0 13 * *", MARCH_1, [utc(2024, m, 13) for m in (3, 4, 5)]),
    ("0 0 */2 * *", MARCH_1, [utc(2024, 3, d) for d in (3, 5, 7, 9)]),
    ("0 0 * * */3", MARCH_1, [utc(2024, 3, d) for d in (2, 3, 6, 9)]),
    ("0 0 */1 * */3", MARCH_1, [utc(2024, 3, d) for d in (2, 3, 4)]),
    ("0 0 29 2 *", MARCH_1, [utc(2028, 2, 29), utc(2032, 2, 29)]),
    ("59 23 31 12 *", utc(2024, 12, 31, 23, 59), [utc(2025, 12, 31, 23, 59)]),
])
def test_fields_select_the_expected_minutes(store, expression, after, expected):
    assert occurrences(store, expression, after, len(expected)) == expected


@pytest.mark.parametrize("expression, after, expected", [
    # 2100 has no 29 February; 2104's lies 2922 days on, inside the 2928-day horizon.
    ("0 0 29 2 *", utc(2097, 1, 1), utc(2104, 2, 29)),
    ("0 0 29 2 *", utc(2100, 2, 28, 23, 59, 59) + 999, utc(2104, 2, 29)),
    ("*/15 * * * *", utc(2024, 3, 15, 10, 15), utc(2024, 3, 15, 10, 30)),  # strictly after
    ("*/15 * * * *", utc(2024, 3, 15, 10, 15) - 1, utc(2024, 3, 15, 10, 15)),
    ("*/15 * * * *", utc(2024, 3, 15, 10, 15, 59) + 999, utc(2024, 3, 15, 10, 30)),
    ("* * * * *", -1, 0),  # nothing before 1970 matches
    ("59 23 31 12 *", utc(1969, 12, 31), utc(1970, 12, 31, 23, 59)),
    ("0 0 * * 3", utc(1969, 12, 30), utc(1970, 1, 7)),  # 31 December 1969 was a Wednesday
    ("0 0 1 1 *", utc(1969, 6, 1), 0),
    ("30 12 * * *", utc(1965, 1, 1), utc(1970, 1, 1, 12, 30)),
    ("* * * * *", -HORIZON, 0),  # the horizon's last minute is still searched
    ("* * * * *", LAST_MINUTE - 1, LAST_MINUTE),  # the last representable minute is reachable
])
def test_next_matching_minute(store, expression, after, expected):
    assert next_run(store, expression, after) == expected


@pytest.mark.parametrize("expression, after, message", [
    ("* * * * *", -HORIZON - 1, NO_MATCH), ("* * * * *", -(2**63), NO_MATCH),
    ("0 0 31 2 *", utc(2024, 1, 1), NO_MATCH), ("0 0 31 4,6,9,11 *", utc(2024, 1, 1), NO_MATCH),
    ("* * * * *", INT64_MAX, OVERFLOW), ("* * * * *", LAST_MINUTE, OVERFLOW),
    ("0 0 31 2 *", LAST_MINUTE - 10 * 86_400_000, OVERFLOW),  # runs out of time before the horizon
    ("0 0 31 2 *", LAST_MINUTE - HORIZON - 86_400_000, NO_MATCH),
])
def test_fruitless_search_fails_cleanly(store, expression, after, message):
    with raises_exactly(Error, message):
        store.create_cron_schedule(expression, b"h", b"", after)
    assert store.list_cron_schedules() == []


MINUTE_FIELDS = ["60", "1-70", "5,99", "5-1", "*/0", "*/256", "*/", "*/-1", "*/+", "-5", "+", "-", "++5", "1,,2", "1,",
                 ",1", "1-", "1-10/3/2", "*-5", "**", "a", "5x", "99999999999999999999", "*/99999999999999999999",
                 "\u00bd"]
OTHER_FIELDS = [("* 24 * * *", "24"), ("* * 0 * *", "0"), ("* * 32 * *", "32"), ("* * * 0 *", "0"),
                ("* * * 13 *", "13"), ("* * * JAN *", "JAN"), ("* * * * 7", "7"), ("* * * * MON", "MON"),
                ("* * 1-31/2 * 0-7", "0-7"), ("99 98 * * *", "99")]


@pytest.mark.parametrize("expression, field", [(f"{f} * * * *", f) for f in MINUTE_FIELDS] + OTHER_FIELDS)
def test_invalid_field_carries_its_whole_text(store, expression, field):
    with raises_exactly(Error, f"cron error: invalid cron field: {field}"):
        store.create_cron_schedule(expression, b"h", b"", 0)
    assert store.list_cron_schedules() == []


@pytest.mark.parametrize("expression", ["* * * *", "* * * * * *", "", "  \t \u3000", "99 * * *", "*,* * * *",
                                        "*\u200b* * * *"])
def test_exactly_five_fields(store, expression):
    with raises_exactly(Error, "cron error: cron expression must contain exactly five fields"):
        store.create_cron_schedule(expression, b"h", b"", 0)
    assert store.list_cron_schedules() == []


@pytest.mark.parametrize("expression", ["  */15 * * * *", "*/15\t*\t*\t*\t*", "*/15  *   * \t *\n*  \n",
                                        "*/15\u00a0*\u3000*\u2003\u2028*\x0b*\u205f"])
def test_runs_of_whitespace_separate_fields(store, expression):
    schedule = store.get_cron_schedule(store.create_cron_schedule(expression, b"h", b"", utc(2024, 3, 15, 10, 7, 30)))
    assert schedule["next_run_ms"] == utc(2024, 3, 15, 10, 15)
    assert schedule["expression"] == expression.encode()  # kept as written
