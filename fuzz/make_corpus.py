#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are small, hand-chosen inputs that reach each target's interesting
paths at once: valid table files and damaged ones, the T-SQL the library
sends, connection strings of both engines, CSV with quoting, and record
images with filters. Run it again after changing a seed; the files are
checked in so that a run needs no Python. Seeds that reproduce a fixed
fault are added by hand under their own names (see fuzz/README.md).
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- table files ---------------------------------------------------------
def dbf(fields, records, count=None, cut=None):
    """A dBASE III image: fields are (name, type, width); records are lists
    of byte strings, one per field. count overrides the header's count, cut
    truncates the image to that many bytes."""
    header_len = 32 + 32 * len(fields) + 1
    record_len = 1 + sum(w for _, _, w in fields)
    n = len(records) if count is None else count
    out = bytearray(struct.pack("<B3BIHH20x", 3, 126, 12, 7, n, header_len, record_len))
    for name, typ, width in fields:
        out += struct.pack("<11sc4xBB14x", name.encode(), typ.encode(), width, 0)
    out += b"\r"
    for rec in records:
        out += b" "
        for (_, _, width), value in zip(fields, rec):
            out += value.ljust(width)[:width]
    out += b"\x1a"
    return bytes(out if cut is None else out[:cut])


def script(*ops):
    return bytes([len(ops)]) + bytes(ops)


WTK = [("REC_NUM", "N", 8), ("STOCK", "C", 6), ("NAME", "C", 8), ("PRICE", "N", 10)]
rows = [[b"%8d" % (i + 1), b"60000%d" % i, "浦发银行".encode("gbk"), b"%10.3f" % (10 + i)] for i in range(10)]
# Ops (see DbfFuzz.cc): 0 read, 1 next, 2 prev, 3 move, 4 fields, 5 cut,
# 6 grow, 7 set count, 8 count.
walk = script(0, 10, 1, 4, 2, 1, 1, 4, 3, 3, 0xFD, 8, 4, 2, 0, 5)
write("dbf", "wtk-walk", walk + dbf(WTK, rows))
write("dbf", "wtk-count-lies", walk + dbf(WTK, rows, count=20))
write("dbf", "wtk-cut-mid-record", walk + dbf(WTK, rows, cut=32 * 5 + 1 + 33 * 4 + 17))
write("dbf", "wtk-count-max", script(0, 250, 8) + dbf(WTK, rows[:2], count=2147483647))
write("dbf", "wtk-shrink-grow",
      script(0, 5, 1, 1, 5, 128, 1, 0, 5, 6, 3, 0x41, 0, 5, 4, 0, 7, 0, 0, 0, 30, 0, 10, 8) + dbf(WTK, rows))
write("dbf", "empty-table", script(0, 1, 1, 8, 6, 3, 3, 0, 1, 1, 4, 2) + dbf(WTK, []))
write("dbf", "one-field-empty-values", script(0, 3, 1, 4, 2, 1, 4, 2, 1, 4, 2) + dbf([("MEMO", "C", 1)], [[b""], [b""], [b"x"]]))
wide = [("F%03d" % i, "C", 2) for i in range(120)]
write("dbf", "more-fields-than-held", script(0, 2, 1, 4, 2, 1, 4, 2) + dbf(wide, [[b"ab"] * 120, [b"cd"] * 120]))
# Found by the fuzzer: the position text wrapped at a count of 2^31 - 1.
write("dbf", "position-at-largest-count", script(3, 0xFF, 8) + dbf(WTK, rows[:2], count=2147483647))
write("dbf", "bad-record-length", dbf([("A", "C", 255), ("B", "C", 255), ("C", "C", 10)], []))

# --- T-SQL ----------------------------------------------------------------
gbk = lambda s: s.encode("gbk").decode("latin-1")
tsql = {
    "top-nolock": "select top 10 * from WTK with (nolock) where isnull(STOCK,'')<>'' order by rec_num",
    "rowcount": "set rowcount 5; select * from CJK order by ID; set rowcount 0",
    "insert-select": "insert into WTK (STOCK,QTY) (select STOCK, QTY+1 from WTK where rec_num>1)",
    "convert-cast": "select convert(varchar(8), getdate(), 108), cast('12' as int), len('ab  '), "
    "left(STOCK,3) + 'x', substring(STOCK,2,3) from WTK",
    "catalog": "select * from sysobjects where name='WTK'; select name, type, length from syscolumns "
    "where id=(select id from sysobjects where name='CJK')",
    "identity": "select IDENT_CURRENT('WTK'); DBCC CHECKIDENT (WTK, RESEED, 0)",
    "dates": "select dateadd(day, 1, CJTIME), datediff(second, CJTIME, getdate()), datepart(hh, CJTIME), "
    "year(CJTIME) from CJK",
    "names-comments": "select [rec_num], \"STOCK\" from db..WTK /* a /* nested */ comment */ -- end",
    "plus-chain": "select 1+2-3+'a'+N'" + gbk("中文") + "' + STOCK - -QTY from WTK",
    "max-plus-one": "insert into WTK (rec_num,STOCK) select isnull(max(rec_num),0)+1,'600000' from WTK "
    "with (holdlock)",
    "window": "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from WTK where rec_num>0 and "
    "rec_num<=100",
}
for name, text in tsql.items():
    write("tsql", name, text)

# --- connection strings ---------------------------------------------------
conn = {
    "sqlite": "Provider=SQLite;Data Source=/data/trade.db;Create=yes",
    "postgres": "Provider=PostgreSQL;Server=db.example,5433;Initial Catalog=trade;UID=u;PWD='p;w=\"x\"';"
    "sslmode=require",
    "quoted": "a = \"q\"\"x\" ; ;B=c;b=d;  key with spaces  =  value  ",
    "no-equals": "Provider=SQLite;Data Source",
    "unterminated": "Password='abc",
}
for name, text in conn.items():
    write("connection_string", name, text)

# --- CSV (byte 0: how many of the next bytes are piece sizes) --------------
csv = {
    "simple": "\x00" + "1,600000,10.500\r\n2,000001,\n",
    "quoted": "\x02\x03\x01" + "\"a,b\",\"say \"\"hi\"\"\",\"line\nbreak\"\n\n\nx\r\r\n",
    "one-empty-field": "\x01\x01" + "\"\"\n\"\"\nabc\n",
    "gbk": "\x00" + gbk("浦发银行") + ",\"" + gbk("中文") + "\"\n",
    "bad-quote": "\x00" + "a\"b,c\n",
    "after-quote": "\x00" + "\"a\"b\n",
    "built-records": "\x00" + "a\x00\x00b\x01\x01,\x00\"\x01\n\x00\r",
}
for name, text in csv.items():
    write("csv", name, text)


# --- CSQLOperate host text -------------------------------------------------
def image(num, stock, name, cjsj, price, qty, bs):
    return (b"%8d" % num + stock.ljust(6)[:6] + name.ljust(8)[:8] + cjsj.ljust(8)[:8]
            + price.rjust(10)[:10] + b"%8d" % qty + bs[:1])


def sql_input(filt, from_time, to_time, images, want, from_key, flags):
    # FuzzedDataProvider: strings from the front ("\\" then another byte ends
    # one), integers from the back in the order they are taken.
    esc = lambda s: s.replace(b"\\", b"\\\\") + b"\\;"
    return (esc(filt) + esc(from_time) + esc(to_time) + b"".join(images)
            + bytes([want, from_key, flags]))


imgs = [image(i + 1, b"60000%d" % i, "浦发".encode("gbk"), b"0930%02d00" % i, b"10.5", 100 * i, b"B")
        for i in range(6)]
write("sql_operate", "no-filter", sql_input(b"", b"09:30:00", b"15:00:00", imgs, 10, 3, 0))
write("sql_operate", "filter", sql_input(b"bs='B' and stock like '6%'", b"093000", b"150000", imgs, 50, 3, 2))
write("sql_operate", "filter-longtoday",
      sql_input(b"{qty>100} and date=LONGTODAY and \"x\"=\"x\"", b"", b"", imgs[:3], 2, 3, 0))
write("sql_operate", "quotes-in-text",
      sql_input(b"name<>'it''s'", b"'", b"9", [image(1, b"O'NEIL", b"a'b", b"", b"", 0, b"'")], 1, 3, 0))
write("sql_operate", "own-numbers-gap",
      sql_input(b"", b"", b"", [image(1, b"a", b"", b"", b"", 0, b"S"), image(5, b"b", b"", b"", b"", 0, b"S")],
                 5, 3, 1))
# Flags bits 2-3: 1 = one batch of statements, 2 = the bulk-load file (which
# refuses the image with a comma in its name).
write("sql_operate", "batch-statements", sql_input(b"qty>=0", b"", b"", imgs, 20, 3, 4))
write("sql_operate", "bulk-file",
      sql_input(b"", b"", b"", imgs[:2] + [image(3, b"x", b"a,b", b"", b"", 1, b"B")] + imgs[2:4], 20, 3, 8))
# A GBK character whose trail byte is '{' stays whole in the cleaned filter.
write("sql_operate", "gbk-trail-brace", sql_input(b"name<>'\x96{' and {qty>1}", b"", b"", imgs[:2], 5, 3, 0))
