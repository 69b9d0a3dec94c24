-- The engine database. murmelo-mktemplate turns this file into the empty template
-- "MU.tdb" at build time; the first start copies the template to "MU.mdb".
-- Statements end with ";" at the end of a line.

-- Every 16-bit code unit of a text (lone surrogates, U+FFFE, U+0000) must survive,
-- which a UTF-8 database does not guarantee. Must come before the first table.
PRAGMA encoding = 'UTF-16le';
-- Messages of a few kilobytes each fill large pages with less room left over.
PRAGMA page_size = 16384;

-- Ids are braced GUID texts; names compare without regard to ASCII case, as the
-- mail servers and logon names they hold do.
CREATE TABLE Account (
    pkAccount     TEXT    NOT NULL PRIMARY KEY COLLATE NOCASE,
    Server        TEXT    COLLATE NOCASE,
    Port          INTEGER,
    User          TEXT    COLLATE NOCASE,
    Pwd           TEXT,
    CheckInterval INTEGER,
    Disabled      INTEGER NOT NULL DEFAULT 0,
    Email         TEXT,
    Security      TEXT    NOT NULL DEFAULT 'None',
    CertPin       TEXT    NOT NULL DEFAULT '',
    Protocol      TEXT    NOT NULL DEFAULT 'POP3',
    Folder        TEXT    NOT NULL DEFAULT 'INBOX',
    OnlineAccount TEXT    NOT NULL DEFAULT '',
    OAuth2Provider TEXT   NOT NULL DEFAULT '',
    SignInNeeded  INTEGER NOT NULL DEFAULT 0
);

-- A message belongs to an account through (Server, User), not through a key.
-- CreationDate keeps milliseconds so that the list order is the order of storing;
-- equal stamps fall back to rowid. Content holds a message's octets as a BLOB behind a
-- one-byte form tag (storage/MsgContent.h), or a text where they are not octets.
CREATE TABLE Msg (
    pkMsg        TEXT    NOT NULL PRIMARY KEY COLLATE NOCASE,
    Server       TEXT    COLLATE NOCASE,
    User         TEXT    COLLATE NOCASE,
    POP3Id       TEXT,
    MsgFrom      TEXT,
    MsgTo        TEXT,
    Date         TEXT,
    Subject      TEXT,
    Content      TEXT    NOT NULL DEFAULT '',
    IsDeleted    INTEGER NOT NULL DEFAULT 0,
    CreationDate TEXT    NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now')),
    IsRead       INTEGER NOT NULL DEFAULT 0,
    DateKey      INTEGER
);
-- A message of a mailbox is stored once, whichever process or check delivers it; a row
-- deleted by the user stays and so keeps its message from coming back. The index also
-- finds an account's messages (Server, User).
CREATE UNIQUE INDEX MsgIdentity ON Msg (Server, User, POP3Id);
CREATE INDEX MsgCreation ON Msg (CreationDate);
-- The list sorts by the moment of sending: Date read as seconds since 1970 (UTC), NULL
-- when it is not a date. IsRead: the message was shown or read aloud.
CREATE INDEX MsgDateKey ON Msg (DateKey);
-- Sorting by a header column reads a page from these without sorting the whole table. The
-- subject's index holds its first 20 characters; the full text orders what they leave tied.
CREATE INDEX MsgFromSort ON Msg (MsgFrom COLLATE NOCASE);
CREATE INDEX MsgSubjectOrder ON Msg (substr(Subject, 1, 20) COLLATE NOCASE);
CREATE INDEX MsgToSort ON Msg (MsgTo COLLATE NOCASE);

-- The unique-id (UIDL) of every message of a mailbox already examined, with the identifier
-- its header gave: a later check skips it without asking the server. Keyed like the
-- messages through (Server, User) and removed with them.
CREATE TABLE Uidl (
    Server TEXT NOT NULL COLLATE NOCASE,
    User   TEXT NOT NULL COLLATE NOCASE,
    UIDL   TEXT NOT NULL,
    POP3Id TEXT NOT NULL,
    PRIMARY KEY (Server, User, UIDL)
);

-- The IMAP folders already examined: the folder's UIDVALIDITY and the highest UID whose
-- message is stored. Keyed like the messages through (Server, User) and removed with them.
CREATE TABLE Uid (
    Server      TEXT    NOT NULL COLLATE NOCASE,
    User        TEXT    NOT NULL COLLATE NOCASE,
    Folder      TEXT    NOT NULL,
    UidValidity INTEGER NOT NULL,
    HighestUid  INTEGER NOT NULL,
    PRIMARY KEY (Server, User, Folder)
);

-- Settings: texts as text, serialised objects as BLOB (the storage class tells them apart).
CREATE TABLE "Option" (
    Id    TEXT NOT NULL COLLATE NOCASE,
    Value
);
CREATE UNIQUE INDEX "Id Index" ON "Option" (Id);

-- Properties of the database itself (the run counter "RC").
CREATE TABLE Property (
    Name  TEXT NOT NULL PRIMARY KEY,
    Value TEXT
);
