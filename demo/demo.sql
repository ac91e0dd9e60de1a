-- Demo data of the stand-in: operators, the version record and the chunk table.
USE VeskDB
CREATE TABLE aUser (UserID varchar(50) NOT NULL PRIMARY KEY, PassWord varchar(50) NULL, UserName nvarchar(50) NULL);
INSERT INTO aUser (UserID, PassWord, UserName) VALUES ('张三', '1', N'张三');
INSERT INTO aUser (UserID, PassWord, UserName) VALUES ('admin', 'Admin2010', N'系统管理员');
INSERT INTO aUser (UserID, PassWord, UserName) VALUES ('李四', NULL, N'李四');
INSERT INTO aUser (UserID, PassWord, UserName) VALUES ('wang wu', 'ww', N'王五');
CREATE TABLE BVersion (Version int NOT NULL, Counts int NOT NULL);
CREATE TABLE CopyRight (Idcol varchar(10) NOT NULL, ExEPic image NULL);
USE Voruvidi
CREATE TABLE Orders (OrderID int NOT NULL, Customer nvarchar(50) NULL);
