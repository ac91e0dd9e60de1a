-- Vesk: the tables of the site's public database, as the launcher and vesk-publish need
-- them. Run it in that database (VeskDB here) on a new database; on one that already has
-- some of them, run only the CREATE TABLE of each table it lacks (vesk-publish adds the
-- columns Sha256 and Signature to an older BVersion itself). Batches are separated by GO,
-- as sqlcmd and SQL Server Management Studio read them.
USE VeskDB
GO

-- The operators. The launcher reads every column of the operator's row; UserID and
-- PassWord are nvarchar so that Chinese names and passwords survive any collation.
CREATE TABLE aUser (
    UserID nvarchar(50) NOT NULL PRIMARY KEY,
    PassWord nvarchar(50) NULL
)
GO

-- The published version: one row. Sha256 is the program's SHA-256, Signature the
-- release key's signature (vesk-publish --sign), NULL when not signed.
CREATE TABLE BVersion (
    Version int NOT NULL,
    Counts int NOT NULL,
    Sha256 varbinary(32) NULL,
    Signature varbinary(96) NULL
)
GO

-- The program's chunks, Idcol '0' to Counts - 1, each its size and a zlib stream.
CREATE TABLE CopyRight (
    Idcol varchar(10) NOT NULL,
    ExEPic image NULL
)
GO

-- Patches from earlier versions to the published one, and their parts.
CREATE TABLE BPatch (
    PatchId int NOT NULL PRIMARY KEY,
    FromSha256 varbinary(32) NOT NULL,
    ToSha256 varbinary(32) NOT NULL,
    ToLength int NOT NULL,
    Parts int NOT NULL,
    Bytes int NOT NULL,
    PatchSha256 varbinary(32) NOT NULL
)
GO

CREATE TABLE BPatchPart (
    PatchId int NOT NULL,
    Part int NOT NULL,
    Data image NULL
)
GO
