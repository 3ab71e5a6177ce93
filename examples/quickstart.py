"""The main job: open the embedded engine, run a query, and close."""
import vkcondb

print(vkcondb.version())
conn = vkcondb.connect(database=":memory:")
print("ping:", conn.ping())
cur = conn.cursor()
cur.execute("create table fruit(id integer primary key, name text, price real)")
cur.executebatch("insert into fruit(id, name, price) values (?, ?, ?)",
                 [[1, 2, 3], ["apple", "pear", "plum"], [0.5, 0.75, 1.25]])
conn.commit()
cur.execute("select id, name, price from fruit where price < ? order by id", (1.0,))
print([d[0] for d in cur.description])
for row in cur.fetchall():
    print(row)
cur.close()
conn.close()
print("ping after close:", conn.ping())
