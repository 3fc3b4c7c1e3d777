"""The reconciliation written out literally, step by step, in pandas.

It walks the list and scans the whole portfolio and removal list for every
CUSIP, as slowly and plainly as possible, so it can judge the module's
grouped version. Two changes let it run on pandas 3, which refuses a number
in a column of strings and a float in a column of integers: each CUSIP's rows
are widened to objects before missing cells are filled and totals stored.
"""
import pandas as pd


def reconcile(sec: pd.DataFrame, raw: pd.DataFrame, rem: pd.DataFrame) -> pd.DataFrame:
    secl = list(dict.fromkeys(sec["CUSIPNO"]))  # order of first appearance
    bswout = pd.DataFrame([])
    for c in secl:
        newd = pd.DataFrame(raw.loc[raw["CUSIPID"] == c]).astype(object)
        newd = newd.fillna(0)
        if len(newd) > 0:
            rewd = pd.DataFrame(rem.loc[rem["CUSIP"] == c])
            for j in range(9, 14):
                newd.iloc[0, j] = sum(newd.iloc[:, j].tolist())
            if len(rewd) > 0:
                newd.iloc[0, 10] = newd.iloc[0, 10] - sum(rewd["Quantity"].tolist())
                newd.iloc[0, 12] = newd.iloc[0, 12] - sum(rewd["Quantity"].tolist())
                newd.iloc[0, 11] = newd.iloc[0, 11] - sum(rewd["Value"].tolist())
                newd.iloc[0, 13] = newd.iloc[0, 13] - sum(rewd["Value"].tolist())
            newd = newd.drop(newd.index.to_list()[1:], axis=0)
            if (len(str(newd.iloc[0, 2])) > 5
                    and round(float(newd.iloc[0, 12])) > 0
                    and round(float(newd.iloc[0, 13])) > 0):
                bswout = pd.concat([bswout, newd], ignore_index=True)
    return bswout
