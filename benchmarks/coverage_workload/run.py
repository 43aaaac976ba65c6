"""Drives the ledger as an application would."""
import datetime
import decimal
import fractions

import ledger  # type: ignore[import-not-found]  # beside this file when run


def time_zone():
    try:
        import zoneinfo
        return zoneinfo.ZoneInfo("Europe/Paris")
    except Exception:
        return datetime.timezone(datetime.timedelta(hours=1))


def main(rounds=30):
    zone = time_zone()
    for i in range(rounds):
        one_round(i, zone)


def one_round(i, zone):
    rows = [("cash", " 12.50"), ("bank", "100.00"), ("cash", "-2.25")]
    items = list(ledger.entries(rows))
    totals = ledger.by_account(items)
    list(ledger.running_totals(e.amount for e in items))
    ledger.share(decimal.Decimal("90"), fractions.Fraction(1, 3))
    ledger.recent([e.amount for e in items], 2)
    counts = ledger.word_counts("The cash and the bank and the cash")
    ledger.tag(list(counts))
    when = datetime.datetime(2024, 1, 1, 12, tzinfo=datetime.timezone.utc)
    ledger.in_zone(when, zone)
    ledger.days(datetime.date(2024, 2, 27), 3)
    for start in ledger.pages(10, 4):
        ledger.first_page(range(start, 10), 2)
    ledger.same_network("10.0.0.1", "10.0.0.9", 24)
    ledger.convert(ledger.Money(decimal.Decimal("3.5")), decimal.Decimal("1.1"))
    ledger.fee(decimal.Decimal(i), 3)
    ledger.ratio(i + 1, 7)
    ledger.scale(totals.items(), 2)


if __name__ == "__main__":
    main()
