# Adds the nickname column once; running the script again changes nothing.
IFN_COL|t_user|nickname;
ALTER TABLE t_user ADD COLUMN nickname TEXT;
IFN_COL|t_user|email;
ALTER TABLE t_user ADD COLUMN email TEXT DEFAULT '';
UPDATE t_user SET age = age + 1 WHERE id = 1;
