#!/usr/bin/env bash
# FreeTDS's own tsql against the stand-in: the operator lookup prints the row with its
# computed columns, and each refused login shows SQL Server's message number.
set -euo pipefail
server=$1
dir=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT

cat > "$dir/data.sql" <<'SQL'
USE VeskDB
CREATE TABLE aUser (UserID varchar(50) NOT NULL, PassWord varchar(50) NULL);
INSERT INTO aUser VALUES ('admin', 'secret'), (N'王五', NULL);
SQL
"$server" --port 0 --data "$dir/db" --database VeskDB --login 'VeskLogin:pw' --script "$dir/data.sql" \
  > "$dir/port" &
pid=$!
for _ in $(seq 50); do [ -s "$dir/port" ] && break; sleep 0.1; done
port=$(head -n1 "$dir/port")

run() { TDSVER=7.4 timeout 20 tsql -H 127.0.0.1 -p "$port" -U "$1" -P "$2" -D "$3" 2>&1 || true; }
fail() { echo "FAIL: $1"; printf '%s\n' "$2"; exit 1; }

lookup=$(printf '%s\ngo\n' " Select *,ServerDate=GetDate(),FromDate=(Getdate()-day(getdate())+1),	ToDate=DATEADD(mm,1,Getdate())-day(getdate()), YYYY=Year(Getdate()),MM=Month(Getdate()),DD=Day(Getdate()) 	From aUser where UserID='admin'" | run VeskLogin pw VeskDB)
grep -q $'UserID\tPassWord\tServerDate\tFromDate\tToDate\tYYYY\tMM\tDD' <<<"$lookup" || fail "lookup columns" "$lookup"
today="$(date '+%Y')"$'\t'"$(date '+%-m')"$'\t'"$(date '+%-d')"
grep -q $'^admin\tsecret\t.*\t'"$today"'$' <<<"$lookup" || fail "lookup row" "$lookup"
grep -q '(1 row affected)' <<<"$lookup" || fail "lookup row count" "$lookup"

refused=$(printf 'select 1\ngo\n' | run VeskLogin wrong VeskDB)
grep -q "Msg 18456" <<<"$refused" && grep -q "Login failed for user 'VeskLogin'." <<<"$refused" \
  || fail "wrong password" "$refused"
nodb=$(printf 'select 1\ngo\n' | run VeskLogin pw NoSuchDb)
grep -q "Msg 4060" <<<"$nodb" && grep -q 'Cannot open database "NoSuchDb" requested by the login. The login failed.' <<<"$nodb" \
  || fail "unknown database" "$nodb"
echo "3 passed, 0 failed"
